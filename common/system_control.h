#ifndef SAP_HANA_SYSTEM_CONTROL_H
#define SAP_HANA_SYSTEM_CONTROL_H

#include <string>

namespace sap_hana {

/// Facts about a whole HANA system taken from its custom global.ini
/// (/usr/sap/<SID>/SYS/global/hdb/custom/config/global.ini).
///
/// Contract: reads the file anew on every call; a missing file, or one
/// without [multidb] mode (HANA 1.0 writes none), quietly means
/// single-container; a malformed file logs "Failed to parse %s: %s" and also
/// means single-container. Thread-safe.
class System_Controller {
 public:
  explicit System_Controller(const std::string& sid) : sid_(sid) {}

  /// True exactly when [multidb] mode is "multidb".
  bool is_multi_container();
  /// Multi-container: true only for "SYSTEMDB". Single-container: true for
  /// any name (its one database is its system database).
  bool is_system_database(const std::string& database);
  /// Nothing to do for a whole system; true.
  bool start() { return true; }
  bool stop() { return true; }

 private:
  std::string sid_;
};

}  // namespace sap_hana

#endif
