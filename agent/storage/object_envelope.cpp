#include "agent/storage/object_envelope.h"

#include <algorithm>
#include <cstring>

#include "agent/io/crc32c.h"

namespace {

const char header_magic[8] = {'S', 'V', 'X', 'O', 'B', 'J', 0, 1};
const char trailer_magic[8] = {'S', 'V', 'X', 'E', 'N', 'D', 0, 1};
constexpr std::size_t frame_crc_at = 60;

void put_le(char* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

std::uint64_t get_le(const char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}

void seal(char* frame) { put_le(frame + frame_crc_at, Crc32c::extend(0, frame, frame_crc_at), 4); }

bool sealed(const char* frame) { return get_le(frame + frame_crc_at, 4) == Crc32c::extend(0, frame, frame_crc_at); }

}  // namespace

void Object_Envelope::encode_header(const Header& header, char* out) {
  std::memset(out, 0, header_size);
  std::memcpy(out, header_magic, 8);
  put_le(out + 8, current_version, 4);
  put_le(out + 12, static_cast<std::uint32_t>(header.compression), 4);
  put_le(out + 16, static_cast<std::uint32_t>(header.level), 4);
  std::size_t id_length = std::min(header.object_id.size(), max_object_id);
  put_le(out + 20, id_length, 4);
  std::memcpy(out + 24, header.object_id.data(), id_length);
  seal(out);
}

bool Object_Envelope::decode_header(const char* in, Header& header, std::string& why) {
  if (std::memcmp(in, header_magic, 8) != 0) {
    why = "not a stored object (bad header)";
    return false;
  }
  std::uint32_t version = static_cast<std::uint32_t>(get_le(in + 8, 4));
  if (version != 1 && version != current_version) {
    why = "stored object of unknown version " + std::to_string(version);
    return false;
  }
  std::uint64_t id_length = version == 1 ? 0 : get_le(in + 20, 4);
  if (version != 1 && (!sealed(in) || id_length > max_object_id)) {
    why = "stored object is damaged (header checksum mismatch)";
    return false;
  }
  header.version = version;
  header.compression = static_cast<int>(get_le(in + 12, 4));
  header.level = static_cast<int>(static_cast<std::int32_t>(get_le(in + 16, 4)));
  header.object_id.assign(in + 24, static_cast<std::size_t>(id_length));
  return true;
}

void Object_Envelope::encode_trailer(const Trailer& trailer, char* out) {
  std::memset(out, 0, trailer_size);
  std::memcpy(out, trailer_magic, 8);
  put_le(out + 8, trailer.original_size, 8);
  put_le(out + 16, trailer.payload_size, 8);
  put_le(out + 24, trailer.checksum, 4);
  seal(out);
}

bool Object_Envelope::decode_trailer(const char* in, std::uint32_t version, Trailer& trailer, std::string& why) {
  if (std::memcmp(in, trailer_magic, 8) != 0) {
    why = "stored object is truncated or damaged (bad trailer)";
    return false;
  }
  if (version != 1 && !sealed(in)) {
    why = "stored object is damaged (trailer checksum mismatch)";
    return false;
  }
  trailer.original_size = get_le(in + 8, 8);
  trailer.payload_size = get_le(in + 16, 8);
  trailer.checksum = static_cast<std::uint32_t>(get_le(in + 24, 4));
  return true;
}
