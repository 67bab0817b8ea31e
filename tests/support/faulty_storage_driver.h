#ifndef AGENT_FAULTY_STORAGE_DRIVER_H
#define AGENT_FAULTY_STORAGE_DRIVER_H

#include <cstdint>

#include "agent/storage/storage_driver.h"

/// A driver for tests: passes everything to another driver (not owned) and
/// injects the faults switched on in faults(). Faults apply to writers and
/// readers opened after they are set.
///  - fail_write_after / no_space_after: a writer accepts that many bytes,
///    then every write fails like an I/O error (EIO) or a full file system
///    (ENOSPC): "failed to write '<name>': Input/output error" or
///    "... No space left on device".
///  - throw_after: a writer accepts that many bytes, then throws
///    std::bad_alloc (as an allocation deep inside a filter would).
///  - fail_sync: commit() fails like fsync would, "failed to sync '<name>':
///    Input/output error", and the object is thrown away.
///  - corrupt_read_at: readers flip the lowest bit of the byte at that offset
///    of the stored object (sequential reads and read_at alike).
/// Negative numbers switch a fault off.
class Faulty_Storage_Driver : public Storage_Driver {
 public:
  struct Faults {
    std::int64_t fail_write_after = -1;
    std::int64_t no_space_after = -1;
    std::int64_t throw_after = -1;
    bool fail_sync = false;
    std::int64_t corrupt_read_at = -1;
  };

  explicit Faulty_Storage_Driver(Storage_Driver& inner) : inner_(inner) {}

  Faults& faults() { return faults_; }

  std::unique_ptr<Writer> open_write(const std::string& name, bool overwrite, std::string& error) override;
  Lookup_Status open_read(const std::string& name, std::unique_ptr<Reader>& reader) override;
  Lookup_Status stat(const std::string& name, std::uint64_t& size) override { return inner_.stat(name, size); }
  bool list(const std::string& name, std::vector<std::string>& entries, std::string& error) override {
    return inner_.list(name, entries, error);
  }
  bool remove(const std::string& name, std::string& error) override { return inner_.remove(name, error); }
  Lookup_Status remove_if(const std::string& name, const std::function<bool(Reader&)>& belongs) override {
    return inner_.remove_if(name, belongs);
  }

 private:
  Storage_Driver& inner_;
  Faults faults_;
};

#endif
