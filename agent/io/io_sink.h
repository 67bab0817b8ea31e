#ifndef AGENT_IO_SINK_H
#define AGENT_IO_SINK_H

#include <cstddef>
#include <string>

/// Where a stream of bytes goes: a filter, a file descriptor, a storage
/// object being written. Bytes arrive through write() in blocks of any size;
/// finish() says no more will come (flushing whatever a sink holds back).
/// After a false from either, error() says why and the sink takes nothing
/// more. One thread at a time; copying is disabled.
class IO_Sink {
 public:
  IO_Sink() = default;
  IO_Sink(const IO_Sink&) = delete;
  IO_Sink& operator=(const IO_Sink&) = delete;
  virtual ~IO_Sink();

  virtual bool write(const char* data, std::size_t size) = 0;
  virtual bool finish() = 0;

  const std::string& error() const { return error_; }

 protected:
  /// Records `text` as the error (the first one wins) and returns false.
  bool fail(const std::string& text);

 private:
  std::string error_;
};

#endif
