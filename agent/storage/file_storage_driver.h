#ifndef AGENT_FILE_STORAGE_DRIVER_H
#define AGENT_FILE_STORAGE_DRIVER_H

#include <string>

#include "agent/storage/storage_driver.h"

/// Objects as files below a root directory (a file pool).
///
/// Writing goes to a hidden temporary file (".<name>.tmp.XXXXXX", mode 0640)
/// in the object's directory; commit() fsyncs it, renames it to the object's
/// name (with RENAME_NOREPLACE when `overwrite` is false) and fsyncs the
/// directories from the object's up to the root, so a new object and the
/// directories made for it survive a crash once commit() succeeded.
/// Missing directories are created with mode 0755. A process killed
/// mid-transfer can leave a hidden temporary file behind, never a partial
/// object; list() does not show hidden names.
///
/// Error texts name the full path and the system's reason, for example
/// "failed to write '/pool/a/b': No space left on device".
class File_Storage_Driver : public Storage_Driver {
 public:
  /// `root` is an absolute directory path; it need not exist yet.
  explicit File_Storage_Driver(std::string root);

  std::unique_ptr<Writer> open_write(const std::string& name, bool overwrite, std::string& error) override;
  std::unique_ptr<Reader> open_read(const std::string& name, std::string& error) override;
  std::int64_t stat(const std::string& name, std::string& error) override;
  bool list(const std::string& name, std::vector<std::string>& entries, std::string& error) override;
  bool remove(const std::string& name, std::string& error) override;

  const std::string& root() const { return root_; }

 private:
  std::string path_of(const std::string& name) const;

  std::string root_;
};

#endif
