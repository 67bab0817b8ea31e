#include "agent/base/time_parse.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Removes a ".digits" run that directly follows "HH:MM:SS".
std::string drop_fraction(const char* text) {
  std::string s(text);
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] != '.' || i < 8 || !std::isdigit(static_cast<unsigned char>(s[i + 1]))) continue;
    if (s[i - 3] != ':' || !std::isdigit(static_cast<unsigned char>(s[i - 1]))) continue;
    std::size_t j = i + 1;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
    s.erase(i, j - i);
    break;
  }
  return s;
}

}  // namespace

bool local_to_posix_time(const char* text, const char* format, time_t& result) {
  if (text == nullptr || format == nullptr) return false;
  std::string s = std::strchr(format, '.') ? std::string(text) : drop_fraction(text);
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  tm.tm_isdst = -1;
  const char* end = ::strptime(s.c_str(), format, &tm);
  if (end == nullptr) return false;
  while (*end == ' ') ++end;
  if (*end != '\0') return false;
  if (std::strstr(format, "%z") != nullptr) {
    long offset = tm.tm_gmtoff;
    time_t t = ::timegm(&tm);
    if (t == static_cast<time_t>(-1)) return false;
    result = t - offset;
  } else {
    time_t t = ::mktime(&tm);
    if (t == static_cast<time_t>(-1)) return false;
    result = t;
  }
  return true;
}

bool iso8601_to_posix_time(const char* text, time_t& result) {
  if (text == nullptr || *text == '\0') return false;
  std::string s = drop_fraction(text);
  if (s.size() > 10 && s[10] == ' ') s[10] = 'T';
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  const char* end = ::strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (end == nullptr) return false;
  long offset = 0;
  if (*end == 'Z' || *end == 'z') {
    ++end;
  } else if (*end == '+' || *end == '-') {
    int sign = *end == '-' ? -1 : 1;
    ++end;
    int hh = 0, mm = 0;
    if (!std::isdigit(static_cast<unsigned char>(end[0])) || !std::isdigit(static_cast<unsigned char>(end[1])))
      return false;
    hh = (end[0] - '0') * 10 + (end[1] - '0');
    end += 2;
    if (*end == ':') ++end;
    if (std::isdigit(static_cast<unsigned char>(end[0])) && std::isdigit(static_cast<unsigned char>(end[1]))) {
      mm = (end[0] - '0') * 10 + (end[1] - '0');
      end += 2;
    }
    offset = sign * (hh * 3600L + mm * 60L);
  }
  if (*end != '\0') return false;
  time_t t = ::timegm(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  result = t - offset;
  return true;
}
