#include "agent/storage/object_envelope.h"

#include <cstring>

namespace {

const char header_magic[8] = {'S', 'V', 'X', 'O', 'B', 'J', 0, 1};
const char trailer_magic[8] = {'S', 'V', 'X', 'E', 'N', 'D', 0, 1};
constexpr std::uint32_t version = 1;

void put_le(char* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

std::uint64_t get_le(const char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}

}  // namespace

void Object_Envelope::encode_header(const Header& header, char* out) {
  std::memset(out, 0, header_size);
  std::memcpy(out, header_magic, 8);
  put_le(out + 8, version, 4);
  put_le(out + 12, static_cast<std::uint32_t>(header.compression), 4);
  put_le(out + 16, static_cast<std::uint32_t>(header.level), 4);
}

bool Object_Envelope::decode_header(const char* in, Header& header, std::string& why) {
  if (std::memcmp(in, header_magic, 8) != 0) {
    why = "not a stored object (bad header)";
    return false;
  }
  if (get_le(in + 8, 4) != version) {
    why = "stored object of unknown version " + std::to_string(get_le(in + 8, 4));
    return false;
  }
  header.compression = static_cast<int>(get_le(in + 12, 4));
  header.level = static_cast<int>(static_cast<std::int32_t>(get_le(in + 16, 4)));
  return true;
}

void Object_Envelope::encode_trailer(const Trailer& trailer, char* out) {
  std::memset(out, 0, trailer_size);
  std::memcpy(out, trailer_magic, 8);
  put_le(out + 8, trailer.original_size, 8);
  put_le(out + 16, trailer.payload_size, 8);
  put_le(out + 24, trailer.checksum, 4);
}

bool Object_Envelope::decode_trailer(const char* in, Trailer& trailer, std::string& why) {
  if (std::memcmp(in, trailer_magic, 8) != 0) {
    why = "stored object is truncated or damaged (bad trailer)";
    return false;
  }
  trailer.original_size = get_le(in + 8, 8);
  trailer.payload_size = get_le(in + 16, 8);
  trailer.checksum = static_cast<std::uint32_t>(get_le(in + 24, 4));
  return true;
}
