#include "agent/io/checksum_filter.h"

#include "agent/io/crc32c.h"

bool Checksum_Filter::write(const char* data, std::size_t size) {
  crc_ = Crc32c::extend(crc_, data, size);
  return pass(data, size);
}
