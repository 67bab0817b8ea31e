#include "agent/compress/lzo_decompress_filter.h"

#include <lzo/lzo1x.h>

#include <cstring>

#include "agent/compress/lzo_compress_filter.h"

namespace {

constexpr std::size_t out_capacity = 4u << 20;

std::uint32_t get_u32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) | u[3];
}

}  // namespace

Lzo_Decompress_Filter::Lzo_Decompress_Filter(IO_Sink& next) : IO_Filter(next) { pending_.reserve(8); }

bool Lzo_Decompress_Filter::drain_out() {
  if (!pass(out_.data(), out_used_)) return false;
  out_used_ = 0;
  return true;
}

// Called whenever pending_ holds need_ bytes: advances the header/body state.
bool Lzo_Decompress_Filter::block_ready() {
  if (pending_.size() == 4) {
    raw_ = get_u32(pending_.data());
    if (raw_ == 0) {
      ended_ = true;
      pending_.clear();
      return true;
    }
    if (raw_ > Lzo_Compress_Filter::block_size) return fail("LZO stream is damaged: block length out of range");
    need_ = 8;
    return true;
  }
  if (pending_.size() == 8) {
    stored_ = get_u32(pending_.data() + 4);
    if (stored_ == 0 || stored_ > Lzo_Compress_Filter::max_stored_length(raw_))
      return fail("LZO stream is damaged: stored length out of range");
    need_ = 8 + stored_;
    return true;
  }
  if (out_.empty()) out_.resize(out_capacity);
  if (out_capacity - out_used_ < raw_ && !drain_out()) return false;
  const char* body = pending_.data() + 8;
  auto* dst = reinterpret_cast<unsigned char*>(out_.data() + out_used_);
  if (stored_ == raw_) {
    std::memcpy(dst, body, raw_);
  } else {
    lzo_uint produced = raw_;
    int rc = lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(body), stored_, dst, &produced, nullptr);
    if (rc != LZO_E_OK || produced != raw_) return fail("LZO stream is damaged: a block does not decompress");
  }
  out_used_ += raw_;
  pending_.clear();
  need_ = 4;
  return true;
}

bool Lzo_Decompress_Filter::write(const char* data, std::size_t size) {
  while (size > 0) {
    if (ended_) return fail("LZO stream is damaged: data after the end marker");
    std::size_t take = std::min(size, need_ - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    size -= take;
    if (pending_.size() == need_ && !block_ready()) return false;
  }
  return true;
}

bool Lzo_Decompress_Filter::flush() {
  if (!ended_) return fail("LZO stream is truncated");
  return drain_out();
}
