#ifndef AGENT_CHECKSUM_FILTER_H
#define AGENT_CHECKSUM_FILTER_H

#include <cstdint>

#include "agent/io/io_filter.h"

/// Passes bytes on unchanged and computes their CRC-32C (Crc32c). The
/// checksum covers exactly the bytes handed on so far.
class Checksum_Filter : public IO_Filter {
 public:
  using IO_Filter::IO_Filter;

  bool write(const char* data, std::size_t size) override;
  std::uint32_t checksum() const { return crc_; }

 private:
  std::uint32_t crc_ = 0;
};

#endif
