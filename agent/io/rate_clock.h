#ifndef AGENT_RATE_CLOCK_H
#define AGENT_RATE_CLOCK_H

#include <cstdint>

/// The time source of rate limiting: a monotonic clock, the second of the
/// local day (for matching transfer windows) and a sleep. Tests replace it
/// with a clock whose sleep only advances its own time.
class Rate_Clock {
 public:
  Rate_Clock() = default;
  Rate_Clock(const Rate_Clock&) = delete;
  Rate_Clock& operator=(const Rate_Clock&) = delete;
  virtual ~Rate_Clock();

  /// Monotonic nanoseconds.
  virtual std::uint64_t now_ns() = 0;
  /// Seconds since local midnight, 0..86399.
  virtual std::uint32_t second_of_day() = 0;
  virtual void sleep_ns(std::uint64_t ns) = 0;

  /// The process-wide real clock (CLOCK_MONOTONIC, localtime_r, nanosleep).
  static Rate_Clock& system();
};

#endif
