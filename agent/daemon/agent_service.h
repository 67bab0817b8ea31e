#ifndef AGENT_AGENT_SERVICE_H
#define AGENT_AGENT_SERVICE_H

#include "agent/daemon/agent_settings.h"

/// `strovix3-agent serve`: the agent in the foreground.
///
/// Start: opens the channel to backupd (Global_JSON_RPC_Channel; without one
/// the agent still serves), loads the service configuration (a fault there
/// ends the start), probes the instances, listens, registers with backupd
/// through "agent.register" {"host_uuid", "address"} (a failed registration
/// is retried every 30 s), and then writes the port to <work_dir>/rpc-port.
/// SIGHUP probes again; SIGTERM or SIGINT stop: waiting requests are
/// answered "Agent stopping", the listener closes, every service object is
/// finished and destroyed through its destroy function, the port file is
/// removed, exit 0.
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
