#include "agent/io/rate_limit_filter.h"

#include <algorithm>

Rate_Limit_Filter::Rate_Limit_Filter(IO_Sink& next, const Rate_Limits& limits, Rate_Clock& clock)
    : IO_Filter(next), limits_(limits), clock_(clock) {}

bool Rate_Limit_Filter::write(const char* data, std::size_t size) {
  if (limits_.empty()) return pass(data, size);
  while (size > 0) {
    std::uint64_t limit = limits_.limit_at(clock_.second_of_day());
    if (!started_ || limit != limit_) {
      started_ = true;
      limit_ = limit;
      window_start_ns_ = clock_.now_ns();
      window_bytes_ = 0;
    }
    if (limit == 0) return pass(data, size);
    std::size_t slice = static_cast<std::size_t>(std::max<std::uint64_t>(limit / 8, 64u << 10));
    slice = std::min(slice, size);
    if (!pass(data, slice)) return false;
    data += slice;
    size -= slice;
    window_bytes_ += slice;
    // 128-bit product: bytes * 1e9 overflows 64 bits after about 18 GB.
    auto due = window_start_ns_ +
               static_cast<std::uint64_t>(static_cast<unsigned __int128>(window_bytes_) * 1000000000u / limit);
    std::uint64_t now = clock_.now_ns();
    if (due > now) clock_.sleep_ns(due - now);
  }
  return true;
}
