#ifndef SAP_HANA_RESTORE_TIME_H
#define SAP_HANA_RESTORE_TIME_H

#include <ctime>
#include <string>

namespace sap_hana {

/// Points in time of a restore, read from what backupd sends and written in
/// the form HANA takes after UNTIL TIMESTAMP, which HANA reads as UTC.
/// Neither depends on the process's time zone (TZ). A value type; any
/// thread.
class Restore_Time {
 public:
  /// Reads "YYYY-MM-DD HH:MM:SS" (UTC: the form of the catalog's times and
  /// of a definition's point in time) or the same with "T" between date and
  /// time and an optional zone ("Z", "+hh:mm", "+hhmm", "-..."); whole
  /// seconds only. False for anything else, a date that does not exist
  /// included; `result` is then unchanged.
  static bool parse(const std::string& text, time_t& result);
  /// `time` as "YYYY-MM-DD HH:MM:SS" in UTC.
  static std::string format(time_t time);
};

}  // namespace sap_hana

#endif
