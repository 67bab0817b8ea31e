#ifndef TESTS_UNIT_STORAGE_TEST_SUPPORT_H
#define TESTS_UNIT_STORAGE_TEST_SUPPORT_H

#include <unistd.h>

#include <algorithm>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "agent/io/io_sink.h"
#include "agent/io/io_source.h"
#include "agent/io/rate_clock.h"
#include "temp_dir.h"

namespace storage_test {

/// Half random bytes, half text-like lines, in 4 KiB pages: compressible
/// enough that every method shrinks it, random enough to exercise raw
/// blocks of the LZO framing.
inline std::string make_data(std::size_t size, unsigned seed = 7) {
  std::string data(size, '\0');
  std::mt19937_64 rng(seed);
  static const char words[] = "backup restore pipe object pool catalog log data ";
  for (std::size_t page = 0; page * 4096 < size; ++page) {
    std::size_t begin = page * 4096, end = std::min(size, begin + 4096);
    for (std::size_t i = begin; i < end; ++i) {
      data[i] = page % 2 == 0 ? static_cast<char>(rng()) : words[(i * 7 + page) % (sizeof words - 1)];
    }
  }
  return data;
}

/// Yields a string in slices of `slice` bytes; fails after `fail_after`
/// bytes when that is not negative (a source that dies mid-stream).
class String_Source : public IO_Source {
 public:
  explicit String_Source(std::string data, std::size_t slice = 1u << 20, long long fail_after = -1)
      : data_(std::move(data)), slice_(slice), fail_after_(fail_after) {}

  ssize_t read(char* buffer, std::size_t size) override {
    if (fail_after_ >= 0 && pos_ >= static_cast<std::size_t>(fail_after_)) return fail("source died");
    std::size_t n = std::min({size, slice_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

 private:
  std::string data_;
  std::size_t slice_;
  long long fail_after_;
  std::size_t pos_ = 0;
};

class String_Sink : public IO_Sink {
 public:
  bool write(const char* data, std::size_t size) override {
    text.append(data, size);
    return true;
  }
  bool finish() override {
    finished = true;
    return true;
  }

  std::string text;
  bool finished = false;
};

/// A clock that only moves when someone sleeps on it.
class Fake_Clock : public Rate_Clock {
 public:
  explicit Fake_Clock(std::uint32_t start_second = 0) : start_second_(start_second) {}

  std::uint64_t now_ns() override { return now_; }
  std::uint32_t second_of_day() override {
    return static_cast<std::uint32_t>((start_second_ + now_ / 1000000000ull) % 86400);
  }
  void sleep_ns(std::uint64_t ns) override {
    now_ += ns;
    slept_ += ns;
  }

  std::uint64_t slept_ns() const { return slept_; }

 private:
  std::uint32_t start_second_;
  std::uint64_t now_ = 0;
  std::uint64_t slept_ = 0;
};

}  // namespace storage_test

#endif
