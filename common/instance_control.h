#ifndef SAP_HANA_INSTANCE_CONTROL_H
#define SAP_HANA_INSTANCE_CONTROL_H

#include <ace/Basic_Types.h>

#include <string>
#include <vector>

#include "agent/process/service_lister.h"

namespace sap_hana {

/// State, start and stop of the instances of one HANA system.
///
/// Contract:
/// - An instance is running when its start service (sapstartsrv of
///   /usr/sap/<SID>/<instance>/exe) runs and its SQL port listens (the system
///   database's port 3<nn>13 on a multi-container system, 3<nn>15
///   otherwise). Every call looks at the live processes and ports.
/// - Only start service processes that Environ_Getter::get_start_service
///   trusts count (others are logged and ignored): an instance whose only
///   start service is an impostor has none.
/// - start/stop/restart run the instance's own `HDB` script
///   ("<instance dir>/HDB start|stop|restart") as the system's
///   administration user "<sid>adm" (real and effective user and group, and
///   that user's groups) with that user's log-in environment (HOME, USER,
///   LOGNAME, SHELL from the user database, working directory its home),
///   LD_LIBRARY_PATH "<instance dir>/exe" and HDB_START_TIMEOUT /
///   HDB_STOP_TIMEOUT of 86400 seconds, and block until it ends (a script
///   still running a little after that time-out is ended). The script
///   inherits no open handle; when it fails, the end of its output (standard
///   output and error) is logged after the failure, one "HDB <action>: <line>"
///   each.
/// - The system ID must be a HANA identifier and instance names "HDB" and two
///   digits; other names are refused ("Invalid system ID '%s' or instance
///   name '%s'") before any process is looked up or started.
/// - Results are bool; each failure logs one error line. No locks: callers
///   run one action per instance at a time.
class Instance_Controller {
 public:
  enum Instance_State { INSTANCE_STATE_UNKNOWN = 0, INSTANCE_STATE_RUNNING = 1, INSTANCE_STATE_STOPPED = 2 };
  enum HDB_ACTION { HDB_ACTION_UNKNOWN = 0, HDB_ACTION_START = 1, HDB_ACTION_STOP = 2, HDB_ACTION_RESTART = 3 };

  explicit Instance_Controller(const std::string& sid) : sid_(sid) {}

  /// No start service: STOPPED and false. Start service running: RUNNING or
  /// STOPPED by the SQL port, and true. By name, a name that is not "HDB"
  /// and two digits gives false and leaves `state` untouched.
  bool get_state(ACE_UINT16 instance_number, Instance_State& state);
  bool get_state(const std::string& instance_name, Instance_State& state);

  bool start(const std::string& instance_name);
  bool stop(const std::string& instance_name);
  bool restart(const std::string& instance_name);

  /// The instance directory from the start service's environment; with
  /// `use_default`, "/usr/sap/<SID>/<instance>" when the environment does not
  /// give one. False when no start service runs or no directory is known.
  bool get_instance_dir(const std::string& instance_name, std::string& dir, bool use_default);

  /// The instance's running start service processes; true when there is at
  /// least one.
  bool get_instance_services(const std::string& instance_name, std::vector<Service_Info>& services);
  bool get_instance_services(ACE_UINT16 instance_number, std::vector<Service_Info>& services);

 private:
  bool valid_names(const std::string& instance_name) const;
  bool get_default_instance_dir(const std::string& instance_name, std::string& dir);
  bool hdb_action(const std::string& instance_name, HDB_ACTION action);

  std::string sid_;
};

}  // namespace sap_hana

#endif
