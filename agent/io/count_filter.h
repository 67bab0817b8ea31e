#ifndef AGENT_COUNT_FILTER_H
#define AGENT_COUNT_FILTER_H

#include <cstdint>

#include "agent/io/io_filter.h"

/// Passes bytes on unchanged and counts those the next sink accepted.
class Count_Filter : public IO_Filter {
 public:
  using IO_Filter::IO_Filter;

  bool write(const char* data, std::size_t size) override {
    if (!pass(data, size)) return false;
    count_ += size;
    return true;
  }

  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
};

#endif
