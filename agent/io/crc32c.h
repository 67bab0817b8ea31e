#ifndef AGENT_CRC32C_H
#define AGENT_CRC32C_H

#include <cstddef>
#include <cstdint>

/// CRC-32C (Castagnoli polynomial, reflected, as in iSCSI and ext4), the
/// checksum of stored objects. It uses the processor's CRC32 instruction
/// when there is one (three lanes at once, about 25 GB/s, so checksumming
/// never limits a transfer) and a table otherwise. extend(0, "123456789", 9)
/// is 0xE3069283. Stateless and thread-safe.
class Crc32c {
 public:
  /// The CRC of `crc`'s data followed by `size` bytes at `data`.
  static std::uint32_t extend(std::uint32_t crc, const void* data, std::size_t size);
};

#endif
