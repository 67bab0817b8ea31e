#include "agent/base/uri.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string URI::path(const std::string& text, bool decode) {
  std::size_t begin = 0;
  std::size_t scheme_end = text.find("://");
  // A scheme is letters, digits, "+", "-" and "." before "://", and only
  // then does an authority follow; "a/b://c" is a plain path.
  if (scheme_end != std::string::npos && scheme_end > 0 && text.find_first_of("/?#") > scheme_end) {
    begin = text.find('/', scheme_end + 3);
    if (begin == std::string::npos) return std::string();
  }
  std::size_t end = text.find_first_of("?#", begin);
  std::string raw = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return decode ? percent_decode(raw) : raw;
}

std::string URI::percent_decode(const std::string& text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = hex_value(text[i + 1]);
      int lo = hex_value(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && text[i] == '+' ? ' ' : text[i]);
  }
  return out;
}

void URI::path_segments(const std::string& path, std::vector<std::string>& segments, bool keep_empty) {
  segments.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (keep_empty || !segment.empty()) segments.push_back(segment);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
}
