#include "agent/compress/zstd_decompress_filter.h"

#include <zstd.h>

namespace {

constexpr std::size_t out_block = 4u << 20;

}  // namespace

Zstd_Decompress_Filter::Zstd_Decompress_Filter(IO_Sink& next) : IO_Filter(next), ctx_(ZSTD_createDCtx()) {
  if (ctx_ != nullptr) ZSTD_DCtx_setParameter(ctx_, ZSTD_d_windowLogMax, 23);
}

Zstd_Decompress_Filter::~Zstd_Decompress_Filter() { ZSTD_freeDCtx(ctx_); }

bool Zstd_Decompress_Filter::write(const char* data, std::size_t size) {
  if (ctx_ == nullptr) return fail("failed to create the zstd decompression context");
  if (size == 0) return true;
  if (out_.empty()) out_.resize(out_block);
  started_ = true;
  ZSTD_inBuffer in{data, size, 0};
  while (in.pos < in.size || !frame_done_) {
    if (frame_done_) return fail("zstd decompression failed: unexpected data after the end of the frame");
    ZSTD_outBuffer out{out_.data(), out_.size(), 0};
    std::size_t hint = ZSTD_decompressStream(ctx_, &out, &in);
    if (ZSTD_isError(hint)) return fail(std::string("zstd decompression failed: ") + ZSTD_getErrorName(hint));
    if (hint == 0) frame_done_ = true;
    if (!pass(out_.data(), out.pos)) return false;
    // All input taken and the output not full: the decoder needs more input.
    if (in.pos == in.size && out.pos < out.size) break;
  }
  return true;
}

bool Zstd_Decompress_Filter::flush() {
  if (!frame_done_)
    return fail(started_ ? "zstd decompression failed: the frame is truncated" : "zstd decompression failed: no frame");
  return true;
}
