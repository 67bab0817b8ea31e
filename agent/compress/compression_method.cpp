#include "agent/compress/compression_method.h"

#include <strings.h>

namespace {

const char* const names[COMPR_MAX] = {"none", "auto", "lzop", "zstd"};

}  // namespace

Compression_Method compression_name_to_value(const char* name, std::size_t length) {
  if (name == nullptr) return COMPR_NONE;
  for (int i = 0; i < COMPR_MAX; ++i) {
    // Exact length first: "zst" or "zstdx" must not pass as "zstd".
    std::size_t n = __builtin_strlen(names[i]);
    if (n == length && strncasecmp(name, names[i], length) == 0) return static_cast<Compression_Method>(i);
  }
  return COMPR_NONE;
}

const char* compression_value_to_name(int method) {
  if (method < 0 || method >= COMPR_MAX) return nullptr;
  return names[method];
}

const char* compression_value_to_suffix(int method) {
  switch (method) {
    case COMPR_LZOP:
      return ".lzo";
    case COMPR_ZSTD:
      return ".zst";
    default:
      return "";
  }
}
