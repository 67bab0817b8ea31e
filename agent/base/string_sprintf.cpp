#include "agent/base/string_sprintf.h"

#include <cstdio>

std::string string_vsprintf(const char* format, va_list ap) {
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, format, ap);
  std::string out;
  if (n < 0) {
    va_end(copy);
    return out;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n));
    std::vsnprintf(&out[0], static_cast<size_t>(n) + 1, format, copy);
  }
  va_end(copy);
  return out;
}

std::string string_sprintf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out = string_vsprintf(format, ap);
  va_end(ap);
  return out;
}
