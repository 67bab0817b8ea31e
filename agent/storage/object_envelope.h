#ifndef AGENT_OBJECT_ENVELOPE_H
#define AGENT_OBJECT_ENVELOPE_H

#include <cstdint>
#include <string>

/// The frame around every stored object:
///
///   header (64 bytes)  "SVXOBJ\0\1", version u32 (1), compression u32
///                      (Compression_Method), level i32, zeros
///   payload            the data after compression
///   trailer (64 bytes) "SVXEND\0\1", original size u64, payload size u64,
///                      CRC-32C of the original data u32 (Crc32c), zeros
///
/// Numbers are little-endian. The header tells a reader how to decode the
/// payload (so COMPR_AUTO needs no guessing); the trailer lets it verify
/// the data it produced and answer an object's size without reading it.
/// Pure functions; no state.
class Object_Envelope {
 public:
  static constexpr std::size_t header_size = 64;
  static constexpr std::size_t trailer_size = 64;
  struct Header {
    int compression = 0;
    int level = 0;
  };

  struct Trailer {
    std::uint64_t original_size = 0;
    std::uint64_t payload_size = 0;
    std::uint32_t checksum = 0;
  };

  static void encode_header(const Header& header, char* out);
  /// False with `why` when the bytes are not a header of a known version.
  static bool decode_header(const char* in, Header& header, std::string& why);
  static void encode_trailer(const Trailer& trailer, char* out);
  static bool decode_trailer(const char* in, Trailer& trailer, std::string& why);
};

#endif
