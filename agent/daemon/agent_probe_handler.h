#ifndef AGENT_AGENT_PROBE_HANDLER_H
#define AGENT_AGENT_PROBE_HANDLER_H

#include "agent/daemon/instance_prober.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"

/// The agent's own method "agent.probe" (no params): probes again and
/// answers {"instances": [{"type", "name", "uuid", "options"}...]}, or
/// -32603 "Probe failed" when a handler failed. Runs on its own thread, as
/// probing starts programs.
class Agent_Probe_Handler : public JSON_RPC_Thread_Handler {
 public:
  explicit Agent_Probe_Handler(Instance_Prober& prober) : prober_(prober) {}
  ~Agent_Probe_Handler() override { stop(); }

  int handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) override;

  /// The JSON list of `instances` as answered.
  static json_value to_json(const std::vector<std::shared_ptr<Instance>>& instances);

 private:
  Instance_Prober& prober_;
};

#endif
