#ifndef AGENT_JSON_RPC_SESSION_H
#define AGENT_JSON_RPC_SESSION_H

#include <memory>
#include <string>

#include "agent/jsonrpc/json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_object.h"

/// Request/answer exchanges over a channel: each request gets a fresh id,
/// and request() waits for the answer with that id, never longer than its
/// time limit. Thread-safe (a session holds no state but the channel).
class JSON_RPC_Session {
 public:
  explicit JSON_RPC_Session(std::shared_ptr<JSON_RPC_Channel> channel);

  /// Sends `method` with `params` (null: none) and waits at most
  /// `timeout_seconds` (values below 1 count as 1). 0 with `answer` set to
  /// the response or error object; -1 (logged) when there is no channel, the
  /// request could not be sent, or no answer came in time.
  int request(const std::string& method, const json_value& params, JSON_RPC_Object_Ptr& answer, int timeout_seconds);

 private:
  std::shared_ptr<JSON_RPC_Channel> channel_;
};

#endif
