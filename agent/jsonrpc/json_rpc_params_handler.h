#ifndef AGENT_JSON_RPC_PARAMS_HANDLER_H
#define AGENT_JSON_RPC_PARAMS_HANDLER_H

#include <string>

#include "agent/json/json_access.h"

/// Checks a request's params before its handler runs. A handler that wants
/// the check returns one from create_params_handler(); the dispatcher calls
/// check() and, when it fails, answers -32602 with `message` and does not
/// call the handler. The dispatcher deletes it after use.
class JSON_RPC_Params_Handler {
 public:
  virtual ~JSON_RPC_Params_Handler() = default;
  /// True when `params` (null when absent) is acceptable; otherwise false
  /// with `message` set.
  virtual bool check(const json_value& params, std::string& message) = 0;
};

#endif
