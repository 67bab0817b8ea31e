#ifndef AGENT_LZO_COMPRESS_FILTER_H
#define AGENT_LZO_COMPRESS_FILTER_H

#include <cstdint>
#include <vector>

#include "agent/io/io_filter.h"

/// Compresses the stream with LZO1X in our own framing:
///   block := raw_length (u32, big-endian) stored_length (u32, big-endian)
///            bytes[stored_length]
/// with raw_length 1..block_size; a block whose stored_length equals its
/// raw_length holds the bytes uncompressed (data that does not shrink). The
/// stream ends with a raw_length of 0 (and no stored_length). Levels 1..6 use
/// LZO1X-1, 7 and above LZO1X-999 (smaller, much slower).
class Lzo_Compress_Filter : public IO_Filter {
 public:
  static constexpr std::size_t block_size = 256u << 10;

  Lzo_Compress_Filter(IO_Sink& next, int level);

  bool write(const char* data, std::size_t size) override;

  /// Largest stored_length a reader may accept for a block.
  static std::size_t max_stored_length(std::size_t raw) { return raw + raw / 16 + 64 + 3; }

 protected:
  bool flush() override;

 private:
  bool compress_block();
  bool drain_out();

  bool high_;
  std::vector<char> in_;
  std::size_t in_used_ = 0;
  std::vector<char> out_;
  std::size_t out_used_ = 0;
  std::vector<unsigned char> work_;
};

#endif
