#include "agent/crc32c.h"

#include <cstring>

namespace {

constexpr std::uint32_t polynomial = 0x82F63B78;  // reflected 0x1EDC6F41

struct Table {
  std::uint32_t entry[256];
  Table() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (polynomial & (0u - (c & 1)));
      entry[i] = c;
    }
  }
};

std::uint32_t extend_table(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  static const Table table;
  while (n-- > 0) crc = table.entry[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t extend_hw(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  std::uint64_t c = crc;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = __builtin_ia32_crc32di(c, word);
    p += 8;
    n -= 8;
  }
  auto c32 = static_cast<std::uint32_t>(c);
  while (n-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return c32;
}

bool have_hw() {
  static const bool have = __builtin_cpu_supports("sse4.2");
  return have;
}
#endif

}  // namespace

std::uint32_t Crc32c::extend(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
#if defined(__x86_64__)
  if (have_hw()) return ~extend_hw(crc, p, size);
#endif
  return ~extend_table(crc, p, size);
}
