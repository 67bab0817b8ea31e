#ifndef AGENT_IO_FILTER_H
#define AGENT_IO_FILTER_H

#include "agent/io/io_sink.h"

/// A sink that transforms or inspects the bytes and hands its output to the
/// next sink of the chain (not owned, must outlive the filter). A failure of
/// the next sink is reported by the filter with the next sink's error text.
/// finish() flushes the filter, then finishes the next sink.
class IO_Filter : public IO_Sink {
 public:
  explicit IO_Filter(IO_Sink& next) : next_(&next) {}

  bool finish() override;

 protected:
  /// Passes bytes on; false (with the next sink's error) when it fails.
  bool pass(const char* data, std::size_t size);
  /// Flushes this filter's own state before the next sink is finished.
  virtual bool flush() { return true; }

  IO_Sink& next() { return *next_; }

 private:
  IO_Sink* next_;
};

#endif
