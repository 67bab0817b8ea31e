#include "job/restore_time.h"

#include <cctype>

namespace sap_hana {

namespace {

bool number(const std::string& text, size_t at, size_t n, int& value) {
  if (at + n > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

bool Restore_Time::parse(const std::string& t, time_t& result) {
  int year, month, day, hour, minute, second;
  if (t.size() < 19 || t[4] != '-' || t[7] != '-' || (t[10] != ' ' && t[10] != 'T') || t[13] != ':' || t[16] != ':' ||
      !number(t, 0, 4, year) || !number(t, 5, 2, month) || !number(t, 8, 2, day) || !number(t, 11, 2, hour) ||
      !number(t, 14, 2, minute) || !number(t, 17, 2, second))
    return false;
  long offset = 0;
  const std::string zone = t.substr(19);
  if (!zone.empty()) {
    int zh = 0, zm = 0;
    const bool colon = zone.size() == 6 && zone[3] == ':';
    if (t[10] != 'T') return false;
    if (zone != "Z" && zone != "z") {
      if ((zone.size() != 5 && !colon) || (zone[0] != '+' && zone[0] != '-') || !number(zone, 1, 2, zh) ||
          !number(zone, colon ? 4 : 3, 2, zm) || zh > 23 || zm > 59)
        return false;
      offset = (zh * 3600L + zm * 60L) * (zone[0] == '-' ? -1 : 1);
    }
  }
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const time_t utc = ::timegm(&tm);
  // timegm normalises a 31st of April into May: such a date is not one.
  struct tm back = {};
  if (::gmtime_r(&utc, &back) == nullptr || back.tm_year != year - 1900 || back.tm_mon != month - 1 ||
      back.tm_mday != day || back.tm_hour != hour || back.tm_min != minute || back.tm_sec != second)
    return false;
  result = utc - offset;
  return true;
}

std::string Restore_Time::format(time_t time) {
  struct tm tm = {};
  char text[32] = "";
  if (::gmtime_r(&time, &tm) == nullptr || ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    return std::string();
  return text;
}

}  // namespace sap_hana
