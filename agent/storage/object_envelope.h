#ifndef AGENT_OBJECT_ENVELOPE_H
#define AGENT_OBJECT_ENVELOPE_H

#include <cstdint>
#include <string>

/// The frame around every stored object:
///
///   header (64 bytes)  "SVXOBJ\0\1", version u32, compression u32
///                      (Compression_Method), level i32, object id length
///                      u32, object id (up to 32 bytes), zeros, and at byte
///                      60 the CRC-32C of bytes 0 to 59
///   payload            the data after compression
///   trailer (64 bytes) "SVXEND\0\1", original size u64, payload size u64,
///                      CRC-32C of the original data u32 (Crc32c), zeros,
///                      and at byte 60 the CRC-32C of bytes 0 to 59
///
/// Numbers are little-endian. The header tells a reader how to decode the
/// payload (so COMPR_AUTO needs no guessing) and which write the object
/// came from (the object id: the caller's name for that write, for example
/// the external backup id it is registered under); the trailer lets it
/// verify the data it produced and answer an object's size without reading
/// it. Both carry their own checksum, so a damaged header is refused before
/// any data is decoded.
///
/// Version 1 objects, written before the object id and the frame checksums
/// existed, are still read: they have no object id and their frames are
/// checked by their magic only. New objects are always version 2.
/// Pure functions; no state.
class Object_Envelope {
 public:
  static constexpr std::size_t header_size = 64;
  static constexpr std::size_t trailer_size = 64;
  static constexpr std::size_t max_object_id = 32;
  static constexpr std::uint32_t current_version = 2;

  struct Header {
    std::uint32_t version = current_version;
    int compression = 0;
    int level = 0;
    std::string object_id;  ///< empty: none recorded
  };

  struct Trailer {
    std::uint64_t original_size = 0;
    std::uint64_t payload_size = 0;
    std::uint32_t checksum = 0;
  };

  /// Encodes a current-version header. REQUIRES: object_id.size() <= max_object_id.
  static void encode_header(const Header& header, char* out);
  /// False with `why` when the bytes are not an intact header of a known version.
  static bool decode_header(const char* in, Header& header, std::string& why);
  static void encode_trailer(const Trailer& trailer, char* out);
  /// `version` is the version of the object's header.
  static bool decode_trailer(const char* in, std::uint32_t version, Trailer& trailer, std::string& why);
};

#endif
