#include "agent/base/loose_version.h"

#include <cctype>
#include <limits>

void Loose_Version::parse(const std::string& text) {
  text_ = text;
  parts_.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isdigit(c)) {
      unsigned long long value = 0;
      constexpr unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
      while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        unsigned digit = static_cast<unsigned>(text[i] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        ++i;
      }
      parts_.push_back(Part{true, value, std::string()});
    } else if (std::isalpha(c)) {
      std::size_t start = i;
      while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
      parts_.push_back(Part{false, 0, text.substr(start, i - start)});
    } else {
      ++i;
    }
  }
}

int Loose_Version::compare(const Loose_Version& other) const {
  std::size_t n = parts_.size() < other.parts_.size() ? parts_.size() : other.parts_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Part& a = parts_[i];
    const Part& b = other.parts_[i];
    if (a.number != b.number) return a.number ? -1 : 1;
    if (a.number) {
      if (a.value != b.value) return a.value < b.value ? -1 : 1;
    } else {
      int c = a.word.compare(b.word);
      if (c != 0) return c < 0 ? -1 : 1;
    }
  }
  if (parts_.size() == other.parts_.size()) return 0;
  return parts_.size() < other.parts_.size() ? -1 : 1;
}
