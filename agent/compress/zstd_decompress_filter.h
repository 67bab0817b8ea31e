#ifndef AGENT_ZSTD_DECOMPRESS_FILTER_H
#define AGENT_ZSTD_DECOMPRESS_FILTER_H

#include <vector>

#include "agent/io/io_filter.h"

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

/// Decompresses one zstd frame and hands the data on in blocks of up to
/// 4 MiB. Frames that need a window above 8 MiB are refused (ours never do),
/// so a hostile object cannot make the reader allocate without bound.
/// finish() fails when the frame is incomplete or followed by other bytes.
class Zstd_Decompress_Filter : public IO_Filter {
 public:
  explicit Zstd_Decompress_Filter(IO_Sink& next);
  ~Zstd_Decompress_Filter() override;

  bool write(const char* data, std::size_t size) override;

 protected:
  bool flush() override;

 private:
  ZSTD_DCtx* ctx_;
  std::vector<char> out_;
  bool frame_done_ = false;
  bool started_ = false;
};

#endif
