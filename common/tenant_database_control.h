#ifndef SAP_HANA_TENANT_DATABASE_CONTROL_H
#define SAP_HANA_TENANT_DATABASE_CONTROL_H

#include <string>

#include "agent/base/secure_string.h"
#include "common/hdbsql_executor.h"

namespace sap_hana {

/// Starts and stops tenant databases of a multi-container system through
/// SQL on its system database ("ALTER SYSTEM START|STOP DATABASE <name>").
///
/// Contract: start() of an active tenant and stop() of an inactive one (as
/// M_DATABASES reports it) issue no statement and succeed. A name that is not
/// a HANA identifier (letter first, then letters, digits, underscores) is
/// refused with "Invalid database name '%s'" before any statement. When the
/// state cannot be read, start() still issues its statement, but stop() fails
/// ("Failed to get the state of database '%s'") rather than report a database
/// as stopped that may still run. Holds its
/// own copy of the executor; one thread at a time.
class Tenant_Database_Controller {
 public:
  explicit Tenant_Database_Controller(const HDBSQL_Executor& executor) : executor_(executor) {}
  /// Connects to the system database of the instance registered as
  /// "<sid>_<instance_name>".
  Tenant_Database_Controller(const std::string& sid, const std::string& instance_name, const std::string& user,
                             const secure_string& password);

  bool start(const std::string& name);
  bool stop(const std::string& name);

 private:
  /// -1 when the lookup statement failed, 1 when the database is active,
  /// 0 when it is inactive or unknown.
  int is_active(const std::string& name);

  HDBSQL_Executor executor_;
};

}  // namespace sap_hana

#endif
