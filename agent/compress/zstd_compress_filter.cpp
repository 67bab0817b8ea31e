#include "agent/compress/zstd_compress_filter.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams
#include <zstd.h>

namespace {

// The library's own recommendation is about 128 KiB; a little more means
// fewer calls down the chain.
constexpr std::size_t out_block = 256u << 10;
// Each worker holds a job's input and output; the smallest job the library
// takes keeps a stream's memory within a few MiB whatever the data.
constexpr int worker_job_size = 512 << 10;
// The higher levels differ from the lower ones in their search, and in
// tables and a window that grow to 17 MiB per context at level 9 (one
// context per worker). Capped, every level stays within 6 MiB with two
// workers; the ratio loses little, since backups repeat at short range.
constexpr int max_window_log = 20;
constexpr int max_hash_log = 17;
constexpr int max_chain_log = 17;

void cap(ZSTD_CCtx* ctx, ZSTD_cParameter param, int value, int most) {
  if (value > most) ZSTD_CCtx_setParameter(ctx, param, most);
}

}  // namespace

int Zstd_Compress_Filter::effective_level(int level) {
  if (level == 0) return 3;
  if (level < 1) return 1;
  return level > 9 ? 9 : level;
}

Zstd_Compress_Filter::Zstd_Compress_Filter(IO_Sink& next, int level, int workers)
    : IO_Filter(next), ctx_(ZSTD_createCCtx()) {
  if (ctx_ != nullptr) {
    const int used = effective_level(level);
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, used);
    const ZSTD_compressionParameters params = ZSTD_getCParams(used, ZSTD_CONTENTSIZE_UNKNOWN, 0);
    cap(ctx_, ZSTD_c_windowLog, static_cast<int>(params.windowLog), max_window_log);
    cap(ctx_, ZSTD_c_hashLog, static_cast<int>(params.hashLog), max_hash_log);
    cap(ctx_, ZSTD_c_chainLog, static_cast<int>(params.chainLog), max_chain_log);
    // A library built without threads refuses the setting and compresses
    // on the caller's thread, which is still correct.
    if (workers > 0 && !ZSTD_isError(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, workers)))
      ZSTD_CCtx_setParameter(ctx_, ZSTD_c_jobSize, worker_job_size);
  }
}

Zstd_Compress_Filter::~Zstd_Compress_Filter() { ZSTD_freeCCtx(ctx_); }

bool Zstd_Compress_Filter::drain(const char* data, std::size_t size, int mode) {
  if (ctx_ == nullptr) return fail("failed to create the zstd compression context");
  // The output buffer is allocated on first use so an idle filter costs nothing.
  if (out_.empty()) out_.resize(out_block);
  ZSTD_inBuffer in{data, size, 0};
  for (;;) {
    ZSTD_outBuffer out{out_.data(), out_.size(), 0};
    std::size_t left = ZSTD_compressStream2(ctx_, &out, &in, static_cast<ZSTD_EndDirective>(mode));
    if (ZSTD_isError(left)) return fail(std::string("zstd compression failed: ") + ZSTD_getErrorName(left));
    if (!pass(out_.data(), out.pos)) return false;
    bool done = mode == ZSTD_e_end ? left == 0 : in.pos == in.size && out.pos < out.size;
    if (done) return true;
  }
}

bool Zstd_Compress_Filter::write(const char* data, std::size_t size) {
  if (size == 0) return true;
  return drain(data, size, ZSTD_e_continue);
}

bool Zstd_Compress_Filter::flush() { return drain(nullptr, 0, ZSTD_e_end); }
