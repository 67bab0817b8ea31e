#include "agent/compress/lzo_compress_filter.h"

#include <lzo/lzo1x.h>

#include <cstring>
#include <mutex>

namespace {

constexpr std::size_t out_capacity = 4u << 20;

bool lzo_ready() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = lzo_init() == LZO_E_OK; });
  return ok;
}

void put_u32(char* p, std::uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

}  // namespace

Lzo_Compress_Filter::Lzo_Compress_Filter(IO_Sink& next, int level) : IO_Filter(next), high_(level >= 7) {}

bool Lzo_Compress_Filter::drain_out() {
  if (!pass(out_.data(), out_used_)) return false;
  out_used_ = 0;
  return true;
}

bool Lzo_Compress_Filter::compress_block() {
  if (!lzo_ready()) return fail("failed to initialise LZO");
  if (work_.empty()) {
    work_.resize(high_ ? LZO1X_999_MEM_COMPRESS : LZO1X_1_MEM_COMPRESS);
    out_.resize(out_capacity);
  }
  std::size_t worst = 8 + max_stored_length(in_used_);
  if (out_capacity - out_used_ < worst && !drain_out()) return false;
  char* head = out_.data() + out_used_;
  auto* dst = reinterpret_cast<unsigned char*>(head + 8);
  lzo_uint stored = 0;
  const auto* src = reinterpret_cast<const unsigned char*>(in_.data());
  int rc = high_ ? lzo1x_999_compress(src, in_used_, dst, &stored, work_.data())
                 : lzo1x_1_compress(src, in_used_, dst, &stored, work_.data());
  if (rc != LZO_E_OK) return fail("LZO compression failed: error " + std::to_string(rc));
  if (stored >= in_used_) {
    // Incompressible: keep the raw bytes, which the reader recognises by equal lengths.
    std::memcpy(dst, in_.data(), in_used_);
    stored = in_used_;
  }
  put_u32(head, static_cast<std::uint32_t>(in_used_));
  put_u32(head + 4, static_cast<std::uint32_t>(stored));
  out_used_ += 8 + stored;
  in_used_ = 0;
  return true;
}

bool Lzo_Compress_Filter::write(const char* data, std::size_t size) {
  if (in_.empty() && size > 0) in_.resize(block_size);
  while (size > 0) {
    std::size_t take = std::min(size, block_size - in_used_);
    std::memcpy(in_.data() + in_used_, data, take);
    in_used_ += take;
    data += take;
    size -= take;
    if (in_used_ == block_size && !compress_block()) return false;
  }
  return true;
}

bool Lzo_Compress_Filter::flush() {
  if (in_used_ > 0 && !compress_block()) return false;
  if (out_.size() < out_used_ + 4) out_.resize(out_used_ + 4);
  put_u32(out_.data() + out_used_, 0);
  out_used_ += 4;
  return drain_out();
}
