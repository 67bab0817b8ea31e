#include "agent/io/rate_clock.h"

#include <time.h>

#include <cerrno>

Rate_Clock::~Rate_Clock() = default;

namespace {

class System_Rate_Clock : public Rate_Clock {
 public:
  std::uint64_t now_ns() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
  }

  std::uint32_t second_of_day() override {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<std::uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
  }

  void sleep_ns(std::uint64_t ns) override {
    timespec req{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
  }
};

}  // namespace

Rate_Clock& Rate_Clock::system() {
  static System_Rate_Clock clock;
  return clock;
}
