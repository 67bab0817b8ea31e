#ifndef SAP_HANA_HANA_INSTANCE_HANDLER_H
#define SAP_HANA_HANA_INSTANCE_HANDLER_H

#include <map>
#include <memory>
#include <string>

#include "agent/instance/instance_handler.h"

namespace sap_hana {

/// The plug-in's handler of the agent's instance registry for the type
/// "hana": finds the HANA instances started on this host, tells whether one
/// can be backed up, and checks database credentials.
///
/// Contract:
/// - probe_instances() stores one entry per started instance under its
///   registry name ("<SID>_HDB<nn>"), replacing an entry of that name and
///   leaving others alone. Its options are exactly "sid", "version",
///   "instance_number", "instance_name", "localhost", "dir_executable" and
///   "multi_container"; the multi-container flag is read once per system
///   during one probe. 0 (also when no instance is started), or -1 when
///   the process list cannot be read.
/// - get_state() gives "open" for a registered instance that runs and is not
///   a system replication secondary (mode sync, async or syncmem), else
///   "error".
/// - logon() runs hdbsql's connection status command as `username`:
///   E_OK, E_INVALID_USERNAME_OR_PASSWORD when hdbsql fails (also when the
///   database does not answer), E_OTHER for missing arguments, an instance
///   that is not registered or hdbsql that cannot be set up. The password is
///   never logged.
/// - Nothing is thrown. No state beyond the type: every call builds its own
///   listers, controllers and executors, so the agent may call from several
///   threads at once.
class HANA_Instance_Handler : public Instance_Handler {
 public:
  /// Seconds hdbsql may take to answer the log-on check.
  static constexpr unsigned LOGON_TIME_LIMIT = 60;

  HANA_Instance_Handler();
  ~HANA_Instance_Handler() override;

  int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) override;
  std::string& get_state(const char* name, std::string& state) override;
  int logon(const char* instance_name, const char* username, const char* password,
            const json_value* extended_attrs) override;
};

}  // namespace sap_hana

#endif
