#include "agent/http/http_query.h"

#include "agent/base/uri.h"

std::string http_url_encode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0f];
    }
  }
  return out;
}

std::string http_url_decode(const std::string& text) { return URI::percent_decode(text, true); }

HTTP_Query& HTTP_Query::add(const std::string& name, const std::string& value) {
  if (!query_.empty()) query_ += '&';
  query_ += http_url_encode(name);
  query_ += '=';
  query_ += http_url_encode(value);
  return *this;
}

HTTP_Query& HTTP_Query::add(const std::string& name, std::uint64_t value) { return add(name, std::to_string(value)); }

HTTP_Query& HTTP_Query::add(const std::string& name, std::int64_t value) { return add(name, std::to_string(value)); }
