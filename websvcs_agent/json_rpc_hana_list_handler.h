#ifndef SAP_HANA_JSON_RPC_HANA_LIST_HANDLER_H
#define SAP_HANA_JSON_RPC_HANA_LIST_HANDLER_H

#include <map>
#include <memory>
#include <string>

#include "agent/config/instance_manager.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"

namespace sap_hana {

/// The backup server's list service (its method name is set in the agent's
/// service configuration): what can be backed up on this host.
///
/// Requests, by "params":
/// - absent or null: the started HANA instances, an array of {"sid",
///   "instance_name", "instance_number", "version", "localhost"} (empty when
///   none is started);
/// - an object {"uid": user, "instance": registry name}: the databases of
///   that instance, {"instance": name, "databases": [{"name", "owner",
///   "os_user", "os_group", "active", "log_backup_mode"}]}, listed with the
///   HANA account that user stored for the instance;
/// - anything else: -32602 "Invalid request".
/// Errors: -32602 "Invalid params" ("uid" or "instance" missing or not a
/// string), -32603 "Failed to list instance info", "Failed to get account",
/// "Failed to get SID or instance name" (also when the instance left the
/// registry after its account was read), "Failed to list database". A
/// request object that cannot be read gets -32602 with a null id.
///
/// Log backup mode of a database: "database" when its own log backup
/// configuration (ondemand_conf_path with the database) names a job
/// definition the server still lists ("job.def.list" over the agent's
/// global channel), else "instance" when the instance's configuration does,
/// else "none". Within one request the server is asked at most once per job
/// definition and waits at most job_def_timeout() seconds for each answer;
/// once it has not answered in time it is not asked again for that request.
/// An unreadable or unconfirmed configuration only lowers the mode (logged).
///
/// Requests run on the thread handler's workers; each builds its own listers
/// and executors. The only member, the time limit, is set by init() before
/// the first request.
class JSON_RPC_HANA_List_Handler : public JSON_RPC_Thread_Handler {
 public:
  /// Default seconds to wait for the server's answer to "job.def.list".
  static constexpr int DEFAULT_JOB_DEF_TIMEOUT = 30;

  JSON_RPC_HANA_List_Handler();
  ~JSON_RPC_HANA_List_Handler() override;

  /// Arguments of the service configuration line, after the service's name
  /// in argv[0]: "-t <seconds>" sets the time limit of "job.def.list" (1 or
  /// more). -1 (logged) for anything else.
  int init(int argc, ACE_TCHAR* argv[]) override;

  /// 0 when a response or an error was sent; -1 for an object that is not a
  /// request or a send that failed.
  int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) override;

  int job_def_timeout() const { return job_def_timeout_; }

 protected:
  /// The registry entry of `name`; null when it is not registered.
  virtual std::shared_ptr<Instance> find_instance(const std::string& name);

 private:
  /// What one request learnt about job definitions: UUID -> listed.
  struct Job_Definitions {
    std::map<std::string, bool> known;
    bool server_silent = false;
  };

  int list_instances(JSON_RPC_Channel& channel, const JSON_RPC_Object& request);
  int list_databases(JSON_RPC_Channel& channel, const JSON_RPC_Object& request);
  std::string log_backup_mode(const std::string& sid, const std::string& instance_name, const std::string& database,
                              Job_Definitions& definitions);
  bool is_valid_log_backup_conf(const std::string& path, Job_Definitions& definitions);
  bool job_definition_listed(const std::string& uuid, Job_Definitions& definitions);

  int job_def_timeout_ = DEFAULT_JOB_DEF_TIMEOUT;
};

}  // namespace sap_hana

#endif
