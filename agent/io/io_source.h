#ifndef AGENT_IO_SOURCE_H
#define AGENT_IO_SOURCE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

/// Where a stream of bytes comes from. read() fills up to `size` bytes and
/// returns how many (fewer only at the end of the data or when the source
/// has nothing more right now), 0 at the end, -1 on failure with error()
/// set. One thread at a time; copying is disabled.
class IO_Source {
 public:
  IO_Source() = default;
  IO_Source(const IO_Source&) = delete;
  IO_Source& operator=(const IO_Source&) = delete;
  virtual ~IO_Source();

  virtual ssize_t read(char* buffer, std::size_t size) = 0;

  const std::string& error() const { return error_; }

 protected:
  ssize_t fail(const std::string& text) {
    if (error_.empty()) error_ = text;
    return -1;
  }

 private:
  std::string error_;
};

#endif
