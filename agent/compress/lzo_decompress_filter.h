#ifndef AGENT_LZO_DECOMPRESS_FILTER_H
#define AGENT_LZO_DECOMPRESS_FILTER_H

#include <cstdint>
#include <vector>

#include "agent/io/io_filter.h"

/// Reads the framing of Lzo_Compress_Filter and hands the data on in blocks
/// of up to 4 MiB. Lengths are checked before anything is allocated or
/// decompressed (LZO1X safe decompression), so a damaged stream fails with
/// a clear error instead of overrunning a buffer. finish() fails when the
/// end marker is missing; bytes after it fail the write.
class Lzo_Decompress_Filter : public IO_Filter {
 public:
  explicit Lzo_Decompress_Filter(IO_Sink& next);

  bool write(const char* data, std::size_t size) override;

 protected:
  bool flush() override;

 private:
  bool block_ready();
  bool drain_out();

  std::vector<char> pending_;  // header and stored bytes of the current block
  std::size_t need_ = 4;       // bytes of pending_ that make the next step possible
  std::uint32_t raw_ = 0;
  std::uint32_t stored_ = 0;
  bool ended_ = false;
  std::vector<char> out_;
  std::size_t out_used_ = 0;
};

#endif
