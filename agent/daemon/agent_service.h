#ifndef AGENT_AGENT_SERVICE_H
#define AGENT_AGENT_SERVICE_H

#include "agent/daemon/agent_settings.h"

/// `strovix3-agent serve`: the agent in the foreground.
///
/// Start: opens the channel to backupd (Global_JSON_RPC_Channel; without one
/// the agent still serves), loads the service configuration (a fault there
/// ends the start), probes the instances, listens, registers with backupd
/// through "agent.register" {"host_uuid", "address"} and loads the job
/// definitions ("job.def.list"; a failed registration or load is retried
/// every 30 s), and then writes the port to <work_dir>/rpc-port. Jobs keep
/// their activity records in <work_dir>/act and their run logs in
/// <work_dir>/log/jobs (Job_Manager, Agent_Job_Handler).
/// SIGHUP probes again; SIGTERM or SIGINT stop: waiting requests are
/// answered "Agent stopping", the listener closes, running jobs are asked
/// to stop and waited for (at most Stop_Timeouts::kAgentStopWaitSeconds),
/// every service object is finished and destroyed through its destroy
/// function (unless a job is still busy: then the modules stay loaded), the
/// port file is removed, exit 0.
class Agent_Service {
 public:
  explicit Agent_Service(const Agent_Settings& settings) : settings_(settings) {}

  /// The process exit code: 0 after a clean stop, 1 when the start failed.
  /// REQUIRES: called on the main thread before any other thread exists, so
  /// the stop signals reach only its own wait.
  int run();

 private:
  bool register_with_server(const std::string& address);

  const Agent_Settings& settings_;
};

#endif
