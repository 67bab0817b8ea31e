#ifndef AGENT_RATE_LIMIT_FILTER_H
#define AGENT_RATE_LIMIT_FILTER_H

#include <cstdint>

#include "agent/io/io_filter.h"
#include "agent/io/rate_clock.h"
#include "agent/io/rate_limits.h"

/// Paces the stream to the rate that `limits` allow at the current second of
/// the day (Rate_Limits::limit_at). Bytes go on in slices of about an eighth
/// of a second's worth (at least 64 KiB); after each slice the filter sleeps
/// until the bytes sent since the rate last changed are due. A change of
/// window (a different limit) starts the count afresh, so a slow window
/// never borrows from a fast one. `limits` and `clock` are not owned.
class Rate_Limit_Filter : public IO_Filter {
 public:
  Rate_Limit_Filter(IO_Sink& next, const Rate_Limits& limits, Rate_Clock& clock);

  bool write(const char* data, std::size_t size) override;

 private:
  const Rate_Limits& limits_;
  Rate_Clock& clock_;
  std::uint64_t limit_ = 0;
  std::uint64_t window_start_ns_ = 0;
  std::uint64_t window_bytes_ = 0;
  bool started_ = false;
};

#endif
