#ifndef SAP_HANA_TENANT_DATABASE_CONTROL_H
#define SAP_HANA_TENANT_DATABASE_CONTROL_H

#include <string>

#include "agent/base/secure_string.h"
#include "common/hdbsql_executor.h"

namespace sap_hana {

/// Starts and stops tenant databases of a multi-container system through
/// SQL on its system database ("ALTER SYSTEM START|STOP DATABASE <name>").
///
/// Contract:
/// - Names are taken as HANA takes an unquoted name: folded to upper case
///   ("t01" is T01), in the lookup and in the statement alike. A name that
///   is not a HANA identifier (letter first, then letters, digits,
///   underscores) is refused with "Invalid database name '%s'" before any
///   statement.
/// - start() of a tenant whose ACTIVE_STATUS in M_DATABASES is YES and stop()
///   of one whose status is NO issue no statement and succeed; a tenant on
///   its way (STARTING, STOPPING) gets the statement.
/// - A tenant that M_DATABASES does not list fails both ("Database '%s' does
///   not exist"). When the state cannot be read, start() still issues its
///   statement, but stop() fails ("Failed to get the state of database
///   '%s'") rather than report a database as stopped that may still run.
/// - The START/STOP statement may run for an hour; the lookup for the
///   runner's TERM_TIMEOUT.
/// Holds its own copy of the executor; one thread at a time.
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
  /// -1 when the lookup statement failed, 0 when no database of that name
  /// is listed, 1 with its ACTIVE_STATUS otherwise.
  int status(const std::string& name, std::string& active_status);
  bool change(const std::string& name, bool start);

  HDBSQL_Executor executor_;
};

}  // namespace sap_hana

#endif
