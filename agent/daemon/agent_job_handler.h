#ifndef AGENT_AGENT_JOB_HANDLER_H
#define AGENT_AGENT_JOB_HANDLER_H

#include "agent/daemon/job_manager.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"

/// The agent's own job methods, for the server and the administrator:
///   "agent.job.start", "agent.job.stop", "agent.job.pause",
///   "agent.job.resume", "agent.job.abort", "agent.job.remove",
///   "agent.job.update", "agent.job.setup_ondemand"
///       params {"id": "<definition id>", "options": {...}} ("options"
///       optional; for start, "job_act_id" among them names the run);
///       answer the job's status (Job_Manager::status) once the job took
///       the command, else the manager's error code and message;
///   "agent.job.status" params {"id"} optional: {"jobs": [status...]}
///       (-32004 for an unknown id);
///   "agent.job.reload" (no params): loads every definition again;
///       {"jobs": n}, -32006 when the server gave no list.
/// Bad params: -32602 with the reason. Runs on its own threads, as commands
/// may ask the server for a definition.
class Agent_Job_Handler : public JSON_RPC_Thread_Handler {
 public:
  static const char* const kMethods[];  ///< null-terminated

  explicit Agent_Job_Handler(Job_Manager& jobs) : jobs_(jobs) {}
  ~Agent_Job_Handler() override { stop(); }

  int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) override;

 private:
  Job_Manager& jobs_;
};

#endif
