#ifndef AGENT_FILE_STORAGE_DRIVER_H
#define AGENT_FILE_STORAGE_DRIVER_H

#include <string>

#include "agent/storage/storage_driver.h"

/// Objects as files below a root directory (a file pool).
///
/// Writing goes to an unnamed file (O_TMPFILE) in the object's directory;
/// commit() fsyncs it, links it in under the object's name (with overwrite,
/// under a hidden temporary name that is then renamed over the object) and
/// fsyncs the directories from the object's up to the root, and the parent
/// of every directory made for it, so a new object and the directories made
/// for it survive a crash once commit() succeeded. A writer that is killed
/// leaves nothing behind. Where the filesystem has no O_TMPFILE (NFS), a
/// hidden named temporary (".<name>.tmp.XXXXXX") takes its place, in the
/// pool's directory ".tmp" (the object's own directory where ".tmp" lies on
/// another filesystem), locked (flock, exclusive) by its writer until the
/// rename. Those that no live writer holds any more are removed when the
/// pool is opened (remove_stale_temporaries(), which Client_IO_Ex::connect
/// calls) and by the next writer. list() does not show hidden names.
///
/// Sharing: several systems (users of one group) write into one pool.
/// Missing directories are created with mode 02775 whatever the umask:
/// group-writable, and set-group-ID so that what is made below them keeps
/// their group. Objects get mode 0640 and so the directory's group (the
/// group of the creating process below a directory without the set-group-ID
/// bit); members of that group can read every object.
///
/// open_read() opens regular files only: a link, a directory, a pipe or a
/// device under an object's name is refused at once, without opening it.
///
/// Error texts name the full path and the system's reason, for example
/// "failed to write '/pool/a/b': No space left on device".
class File_Storage_Driver : public Storage_Driver {
 public:
  /// `root` is an absolute directory path; it need not exist yet.
  explicit File_Storage_Driver(std::string root);

  std::unique_ptr<Writer> open_write(const std::string& name, bool overwrite, std::string& error) override;
  Lookup_Status open_read(const std::string& name, std::unique_ptr<Reader>& reader) override;
  Lookup_Status stat(const std::string& name, std::uint64_t& size) override;
  bool list(const std::string& name, std::vector<std::string>& entries, std::string& error) override;
  bool remove(const std::string& name, std::string& error) override;
  /// The object is taken off its name before it is removed, and put back
  /// when it is not the file that `belongs` read (a replacement came in
  /// between).
  Lookup_Status remove_if(const std::string& name, const std::function<bool(Reader&)>& belongs) override;

  /// Removes the named temporaries in ".tmp" that no live writer holds.
  void remove_stale_temporaries();

  const std::string& root() const { return root_; }

  /// Tests: false makes the driver write through named temporaries, as on
  /// a filesystem without O_TMPFILE. True by default.
  void set_anonymous_temporaries(bool on) { anonymous_temporaries_ = on; }

 private:
  std::string path_of(const std::string& name) const;

  std::string root_;
  bool anonymous_temporaries_ = true;
};

#endif
