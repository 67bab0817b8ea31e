#ifndef SAP_HANA_REPLICATION_STATE_GETTER_H
#define SAP_HANA_REPLICATION_STATE_GETTER_H

#include <string>

namespace sap_hana {

/// The system replication settings of a HANA system.
struct Replication_State {
  std::string mode;            ///< actual_mode when set, else mode (e.g. "primary", "sync")
  std::string operation_mode;  ///< e.g. "logreplay"
};

/// Reads [system_replication] of the system's custom
/// /usr/sap/<SID>/SYS/global/hdb/custom/config/global.ini.
///
/// Contract of get_state(): true when the keys mode, actual_mode and
/// operation_mode all exist; `mode` is actual_mode when that is not empty,
/// else mode. A missing file logs "Global config file '%s' does not exist";
/// a missing key or malformed file gives false silently. Reads the file anew
/// on every call; thread-safe.
class Replication_State_Getter {
 public:
  explicit Replication_State_Getter(const std::string& sid) : sid_(sid) {}

  bool get_state(Replication_State& state);

 private:
  std::string sid_;
};

}  // namespace sap_hana

#endif
