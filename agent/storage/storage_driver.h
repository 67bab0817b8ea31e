#ifndef AGENT_STORAGE_DRIVER_H
#define AGENT_STORAGE_DRIVER_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/base/lookup_status.h"
#include "agent/io/io_sink.h"
#include "agent/io/io_source.h"

/// One kind of storage for objects (the file pool first). A driver stores
/// opaque byte strings under names; the storage client (Client_IO_Ex) adds
/// the envelope, compression and checksums above it.
///
/// Names are relative paths inside the driver's root, with "/" between
/// components; the caller has already refused empty names and ".." or "."
/// components. Every operation returns false with a readable text in
/// `error` when it fails; the lookups (open_read, stat) answer a
/// Lookup_Status instead, which tells a missing object from a storage that
/// could not be searched. Nothing throws.
///
/// Contract every driver meets (tests/agent/storage/storage_conformance_test.cpp):
///  - An object becomes visible under its name only through a successful
///    Writer::commit(), and then completely; a failed or abandoned writer
///    leaves no object and no trace under that name.
///  - commit() makes the object durable (synced) before it is visible.
///  - With `overwrite` false an existing object is never replaced (checked
///    when the writer opens and again, atomically, when it commits); with
///    `overwrite` true it is replaced only by a complete new object.
///  - Objects under writing never show up in list().
/// Drivers are not shared between threads without external synchronisation;
/// a writer or reader is used by one thread at a time.
class Storage_Driver {
 public:
  /// Bytes of one object being written. write() and finish() as IO_Sink
  /// (finish() does nothing); commit() publishes the object. Destroying a
  /// writer that has not committed throws the bytes away.
  class Writer : public IO_Sink {
   public:
    bool finish() override { return true; }
    virtual bool commit() = 0;
  };

  /// Bytes of one stored object, read from the start.
  class Reader : public IO_Source {
   public:
    /// Total bytes of the object.
    virtual std::uint64_t size() const = 0;
    /// Reads `length` bytes at `offset` without moving the sequential
    /// position; false on failure or when fewer bytes exist.
    virtual bool read_at(std::uint64_t offset, char* buffer, std::size_t length) = 0;
  };

  Storage_Driver() = default;
  Storage_Driver(const Storage_Driver&) = delete;
  Storage_Driver& operator=(const Storage_Driver&) = delete;
  virtual ~Storage_Driver();

  /// Starts writing object `name`, creating missing directories. Null on
  /// failure (also when the object exists and `overwrite` is false).
  virtual std::unique_ptr<Writer> open_write(const std::string& name, bool overwrite, std::string& error) = 0;
  /// Opens object `name` for reading into `reader`. Not found when nothing
  /// is stored under the name (or it is a directory); failed when the
  /// storage cannot be read there. `reader` is set only when found.
  virtual Lookup_Status open_read(const std::string& name, std::unique_ptr<Reader>& reader) = 0;
  /// Stored bytes of object `name` into `size`, with the same answers as
  /// open_read. `size` is set only when found.
  virtual Lookup_Status stat(const std::string& name, std::uint64_t& size) = 0;
  /// Names (not paths) of the objects and directories directly below
  /// directory `name` ("" for the root), sorted; objects being written are
  /// left out.
  virtual bool list(const std::string& name, std::vector<std::string>& entries, std::string& error) = 0;
  /// Removes object `name`, or directory `name` when it is empty.
  virtual bool remove(const std::string& name, std::string& error) = 0;
  /// Removes object `name` when `belongs` answers true for its bytes (read
  /// from the start), and only the object it was asked about. Found when
  /// removed; not found when nothing is stored under the name or `belongs`
  /// said no; failed (with the reason) when the storage could not be read or
  /// changed there. This default checks, then removes: a driver whose
  /// objects can be replaced in between overrides it so that a replacement
  /// is never removed.
  virtual Lookup_Status remove_if(const std::string& name, const std::function<bool(Reader&)>& belongs);
};

#endif
