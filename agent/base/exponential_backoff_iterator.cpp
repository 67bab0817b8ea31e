#include "agent/base/exponential_backoff_iterator.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <random>

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator(unsigned slot_time, std::uint32_t max_retries, unsigned cap,
                                                           bool jitter)
    : slot_time_(slot_time), max_retries_(max_retries), cap_(cap), jitter_(jitter), end_(max_retries == 0) {
  if (!end_) {
    current_ = compute();
    cumulation_ = current_;
  }
}

unsigned Exponential_Backoff_Iterator::compute() const {
  std::uint64_t wait = slot_time_;
  for (std::uint32_t i = 0; i < index_ && wait < (1ULL << 40); ++i) wait *= 2;
  if (cap_ != 0 && wait > cap_) wait = cap_;
  if (wait > 0xffffffffULL) wait = 0xffffffffULL;
  if (jitter_ && wait > 1) {
    thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<std::uint64_t> dist(wait / 2, wait);
    wait = dist(rng);
  }
  return static_cast<unsigned>(wait);
}

Exponential_Backoff_Iterator& Exponential_Backoff_Iterator::operator++() {
  if (end_) return *this;
  if (++index_ >= max_retries_) {
    end_ = true;
    current_ = 0;
    return *this;
  }
  current_ = compute();
  cumulation_ += current_;
  return *this;
}

bool Exponential_Backoff_Iterator::operator==(const Exponential_Backoff_Iterator& other) const {
  if (end_ || other.end_) return end_ == other.end_;
  return slot_time_ == other.slot_time_ && index_ == other.index_ && max_retries_ == other.max_retries_;
}

void backoff_sleep(unsigned seconds) {
  double scale = 1.0;
  if (const char* s = std::getenv("STROVIX3_BACKOFF_SCALE")) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end != s && v >= 0.0 && v <= 1.0) scale = v;
  }
  double total = seconds * scale;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(total);
  ts.tv_nsec = static_cast<long>((total - static_cast<double>(ts.tv_sec)) * 1e9);
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
