#ifndef AGENT_CLIENT_IO_EX_H
#define AGENT_CLIENT_IO_EX_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/storage/client_io_base.h"
#include "agent/io/io_sink.h"
#include "agent/io/io_source.h"
#include "agent/storage/object_envelope.h"
#include "agent/io/rate_clock.h"
#include "agent/storage/storage_driver.h"

/// The storage client: stores files and pipes as objects of a storage pool
/// and writes them back out.
///
/// Locations: "file:///dir", "file://localhost/dir" or an absolute path
/// "/dir" name a file pool (File_Storage_Driver) rooted at that directory.
/// connect() checks the location and removes what killed writers left in
/// the pool (File_Storage_Driver::remove_stale_temporaries); directories are
/// made when an object is stored. Object names are relative paths below the location ("a/b/c");
/// leading "/" are ignored; empty names and "." or ".." components are
/// refused.
///
/// Every object carries an envelope (Object_Envelope): its compression, its
/// sizes, the CRC-32C of its data and the id of the write that made it.
///
/// Object ids: object_id() names the next transfer. put_file / put_stream
/// record it in the object; get_file / get_stream refuse an object that
/// records another id ("'<name>' holds object <id>, not <wanted>"), before
/// any data goes out, so a name that a later, failed write replaced never
/// restores the wrong data under the old id. Objects that record no id
/// (written without one, or before ids were recorded) are not checked. The
/// id applies to one put or get call and is cleared by it.
///
/// put_file / put_stream: the data goes through checksum, compression and
/// rate limiting into a temporary object that becomes the named object only
/// when everything went well and it has been synced. A failure of the
/// source, the storage or the callback, and an existing object with
/// `overwrite` false, leave no object under the name and an existing one
/// untouched. Note: a pipe whose writer closes early looks like the end of
/// the data; the client cannot tell a short stream from a complete one.
///
/// get_file / get_stream: the data is decoded as the object's header says
/// and delivered as it is read, so a restore into a pipe streams. The
/// checksum and the size are checked as the data passes; the verdict comes at
/// the end: a corrupted object makes the call fail ("checksum mismatch in
/// '<name>': the stored object is corrupted") after the data went out. A
/// reader of the destination must therefore trust the data only when the
/// call succeeded (HANA does: it gets an #ERROR line). A regular file given
/// as destination is truncated to zero length on any failure, so no
/// corrupted file is left behind, and is synced, with its directory, on
/// success.
///
/// Transfers read in 1 MiB blocks, enlarge pipe buffers to 1 MiB, and run
/// the second half of the chain on a second thread (Thread_Handoff_Filter,
/// four 1 MiB blocks). Memory does not grow with the object size: a transfer
/// holds about 6 MiB of buffers plus, with zstd, the compressor's tables
/// (about 2 MiB per worker at level 1; Zstd_Compress_Filter caps levels at
/// 9 to bound them).
///
/// error(), original_size() and storage_size() describe the last call. One
/// thread at a time per client; clients on different threads are
/// independent. A client can be connected again to another location.
class Client_IO_Ex : public Client_IO_Base {
 public:
  /// Called after each block with the bytes moved so far (source bytes for
  /// put, stored bytes for get); returning false cancels the transfer.
  using Progress_Callback = std::function<bool(std::uint64_t)>;

  Client_IO_Ex();
  ~Client_IO_Ex() override;

  /// Connects to a location (above). False with error() for a location
  /// that names no supported storage.
  bool connect(const std::string& location, const Options& options);
  /// Connects to `driver` (not owned; for tests and other drivers).
  bool connect(Storage_Driver& driver, const Options& options);

  /// Stores the file or pipe `source` as object `name`. `open_flags` are
  /// added to O_RDONLY when opening the source (callers pass O_CLOEXEC). A
  /// named pipe is waited for until its writer comes, at most pipe_timeout
  /// seconds of the options (then the call fails).
  /// `resume` must be false (resuming is not supported). `block_hint` is
  /// ignored: blocks are always 4 MiB.
  bool put_file(const std::string& source, const std::string& name, bool resume, int open_flags, std::size_t block_hint,
                const Progress_Callback& callback);
  /// put_file of a source the caller opened (a file or the read end of a
  /// pipe): `fd` is owned from here on and closed; `source` names it in
  /// error texts.
  bool put_fd(int fd, const std::string& source, const std::string& name, const Progress_Callback& callback);
  /// Stores what `source` yields as object `name`.
  bool put_stream(IO_Source& source, const std::string& name, const Progress_Callback& callback);

  /// Writes object `name` to `destination`, opened with `open_flags` (mode
  /// 0640 when created). A named pipe is waited for until a reader opens it,
  /// at most pipe_timeout seconds of the options (then the call fails); it is
  /// opened even when the object is missing or unreadable, so its reader
  /// sees the data end instead of waiting for ever (the call fails). A
  /// regular file is not touched when the object is missing. `block_hint`
  /// is ignored.
  bool get_file(const std::string& name, const std::string& destination, int open_flags, std::size_t block_hint,
                const Progress_Callback& callback);
  /// get_file into a destination the caller opened for writing (a regular
  /// file or the write end of a pipe): `fd` is owned from here on and
  /// closed, also when the object is missing; `destination` names it.
  bool get_fd(const std::string& name, int fd, const std::string& destination, const Progress_Callback& callback);
  /// Writes object `name` into `destination` (finished on success).
  bool get_stream(const std::string& name, IO_Sink& destination, const Progress_Callback& callback);

  /// Data size of object `name` into `size`: found; not found when nothing
  /// is stored under the name; failed when the location cannot be read or
  /// the object is damaged. error() says why unless found.
  Lookup_Status size(const std::string& name, std::uint64_t& size);
  /// Names below directory `name` ("" for the location itself), sorted.
  /// `flags` is reserved (0).
  bool get_dir(const std::string& name, std::vector<std::string>& entries, int flags);
  /// Removes object `name`, or the directory `name` when it is empty.
  bool remove(const std::string& name);
  /// Removes object `name` only when it records `object_id` (that of the
  /// put that made it): an object that a later put stored under the name,
  /// or one whose envelope cannot be read, stays. Found when removed; not
  /// found when the name holds nothing or another object; failed when the
  /// location could not be read or changed. error() says why unless found.
  Lookup_Status remove_object(const std::string& name, const std::string& object_id);

  /// Sets the object id of the next put or get call (above); at most
  /// Object_Envelope::max_object_id bytes, else that call fails.
  void object_id(const std::string& id) { object_id_ = id; }
  /// Replaces the clock of rate limiting (tests); not owned.
  void set_clock(Rate_Clock& clock) { clock_ = &clock; }

 private:
  bool check_connected();
  /// Opens `object` and reads its envelope; the reader is left at the
  /// payload. error() is set unless found.
  Lookup_Status open_object(const std::string& object, std::unique_ptr<Storage_Driver::Reader>& reader,
                            Object_Envelope::Header& header, Object_Envelope::Trailer& trailer);
  bool read_envelope(const std::string& object, Storage_Driver::Reader& reader, Object_Envelope::Header& header,
                     Object_Envelope::Trailer& trailer);
  bool normalise(const std::string& name, std::string& out, bool allow_root);

  std::unique_ptr<Storage_Driver> owned_driver_;
  Storage_Driver* driver_ = nullptr;
  Options options_;
  Rate_Clock* clock_;
  std::string object_id_;
};

#endif
