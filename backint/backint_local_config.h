#ifndef SAP_HANA_BACKINT_LOCAL_CONFIG_H
#define SAP_HANA_BACKINT_LOCAL_CONFIG_H

#include <string>

#include "agent/json/json_access.h"
#include "backint/backint_protocol.h"

namespace sap_hana {

/// The host's own settings for hana-backint: "hana.conf" in the agent's
/// configuration directory. Read anew on every call (a run reads it once or
/// twice). Problems are written to the protocol as "#DEBUG" lines.
///
/// Borrows the protocol, which must outlive it. Not thread-safe.
class Backint_Local_Config {
 public:
  /// `path` of hana.conf; empty for the production one.
  explicit Backint_Local_Config(Backint_Protocol& protocol, std::string path = std::string());

  const std::string& path() const { return path_; }
  /// The whole file; false (with a debug line) when it is not a JSON object.
  bool get_local_config(json_value& object);
  /// "local_backup"."location"; false when missing or empty.
  bool get_local_backup_location(std::string& location);
  /// "certification"."restore_catalog_from_conf": whether backup catalogs
  /// are restored from the restore configuration file written by the
  /// restore job instead of from storage. True unless the file says false.
  bool restore_catalog_from_config();

 private:
  Backint_Protocol& protocol_;
  std::string path_;
};

}  // namespace sap_hana

#endif
