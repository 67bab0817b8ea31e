#ifndef SAP_HANA_JSON_RPC_HANA_INSTANCE_CONTROL_HANDLER_H
#define SAP_HANA_JSON_RPC_HANA_INSTANCE_CONTROL_HANDLER_H

#include <memory>

#include "agent/jsonrpc/json_rpc_handler.h"

namespace sap_hana {

/// The service "hana.instance.control": starts, stops or restarts a HANA
/// instance of this host, or tells its state. The backup server and the
/// plug-in's jobs on the other hosts of a scale-out system call it.
///
/// Params: {"sid": ..., "instance_name": "HDB<nn>", "action": "start" |
/// "stop" | "restart" | "state"}, all strings. Result: {"error": 0}, or for
/// "state" {"state": n} (0 unknown, 1 running, 2 stopped). Errors, each
/// message ending in a newline: -32602 "Failed to initialize params",
/// "sid or instance_name is empty", "action is not supported"; -32603
/// "failed to handle instance" when the controller fails (also for "state"
/// of an instance whose start service does not run).
///
/// Runs on the receiving thread; a start or stop holds it until HANA's HDB
/// script ends. A notification is handled like a request. Stateless.
class JSON_RPC_HANA_Instance_Control_Handler : public JSON_RPC_Handler {
 public:
  ~JSON_RPC_HANA_Instance_Control_Handler() override;
  /// 0 when a response or an error was sent, -1 otherwise.
  int handle_object(std::weak_ptr<JSON_RPC_Channel> sender, JSON_RPC_Object_Ptr object) override;
};

}  // namespace sap_hana

#endif
