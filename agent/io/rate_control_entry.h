#ifndef AGENT_RATE_CONTROL_ENTRY_H
#define AGENT_RATE_CONTROL_ENTRY_H

#include <cstdint>

/// One transfer window: from `start_time` to `end_time` (seconds of the
/// local day, both included, 0..86399) a transfer may move at most
/// `max_bytes_per_second` bytes per second; 0 means no limit. A window that
/// wraps midnight is kept as two entries (see Rate_Limits).
struct Rate_Control_Entry {
  Rate_Control_Entry() = default;
  Rate_Control_Entry(std::uint32_t start, std::uint32_t end, std::uint64_t bytes_per_second)
      : start_time(start), end_time(end), max_bytes_per_second(bytes_per_second) {}

  /// True when `second_of_day` lies inside the window.
  bool covers(std::uint32_t second_of_day) const { return start_time <= second_of_day && second_of_day <= end_time; }

  bool operator==(const Rate_Control_Entry& o) const {
    return start_time == o.start_time && end_time == o.end_time && max_bytes_per_second == o.max_bytes_per_second;
  }

  std::uint32_t start_time = 0;
  std::uint32_t end_time = 0;
  std::uint64_t max_bytes_per_second = 0;
};

#endif
