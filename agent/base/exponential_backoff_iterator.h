#ifndef AGENT_EXPONENTIAL_BACKOFF_ITERATOR_H
#define AGENT_EXPONENTIAL_BACKOFF_ITERATOR_H

#include <cstdint>

/// Waits, in seconds, between retries: slot_time * 2^n, capped at `cap`
/// seconds (0: no cap), for at most `max_retries` waits. With `jitter` each
/// wait is drawn from [w/2, w]. The iterator equals a default-built one once
/// the waits are used up. cumulation() is the sum of the waits handed out.
class Exponential_Backoff_Iterator {
 public:
  Exponential_Backoff_Iterator() = default;
  Exponential_Backoff_Iterator(unsigned slot_time, std::uint32_t max_retries, unsigned cap, bool jitter);

  unsigned operator*() const { return current_; }
  Exponential_Backoff_Iterator& operator++();
  bool operator==(const Exponential_Backoff_Iterator& other) const;
  bool operator!=(const Exponential_Backoff_Iterator& other) const { return !(*this == other); }
  /// Sum of all waits up to and including the current one.
  std::uint64_t cumulation() const { return cumulation_; }

 private:
  unsigned compute() const;

  unsigned slot_time_ = 0;
  std::uint32_t max_retries_ = 0;
  unsigned cap_ = 0;
  bool jitter_ = false;
  std::uint32_t index_ = 0;
  unsigned current_ = 0;
  std::uint64_t cumulation_ = 0;
  bool end_ = true;
};

/// Sleeps `seconds` seconds. The environment variable
/// STROVIX3_BACKOFF_SCALE (a factor, e.g. "0.001") shortens every wait; the
/// test harness uses it so that retry tests take milliseconds.
void backoff_sleep(unsigned seconds);

#endif
