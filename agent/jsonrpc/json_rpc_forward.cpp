#include "agent/jsonrpc/json_rpc_forward.h"

#include <algorithm>

#include <ace/Log_Msg.h>

#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_session.h"

namespace {

// The longest forwarding the server accepts.
constexpr int kMaxServerTimeout = 600;

}  // namespace

bool json_rpc_forward(const std::string& method, const json_value& params, const std::string& host_uuid,
                      json_value& result, int type, int timeout_seconds) {
  result = json_value();
  if (timeout_seconds < 2) timeout_seconds = 2;
  json_value forward = json_value::object();
  forward["host_uuid"] = host_uuid;
  forward["method"] = method;
  if (!params.is_null()) forward["params"] = params;
  // The server gives up on the peer a second before we give up on the
  // server, so a silent peer comes back as the server's error, not as ours.
  forward["timeout"] = std::min(timeout_seconds - 1, kMaxServerTimeout);
  JSON_RPC_Object_Ptr answer;
  if (JSON_RPC_Session(Global_JSON_RPC_Channel::instance())
          .request("agent.forward", forward, answer, timeout_seconds) != 0)
    return false;
  if (answer->type() == JSON_RPC_Object::TYPE_ERROR) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Forwarding %C to host %C failed: %C\n"), method.c_str(), host_uuid.c_str(),
               answer->error_message().c_str()));
    return false;
  }
  // The server's result is the peer's answer: {"result": ...} or {"error": {...}}.
  const json_value& peer = answer->result();
  if (peer.is_object() && peer.contains("error") && peer["error"].is_object()) {
    result = peer["error"];
    return true;
  }
  if (!peer.is_object() || !peer.contains("result")) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Forwarding %C to host %C: malformed answer\n"), method.c_str(), host_uuid.c_str()));
    return false;
  }
  const json_value& value = peer["result"];
  auto expected = static_cast<json_value::value_t>(type);
  bool integral = expected == json_value::value_t::number_integer || expected == json_value::value_t::number_unsigned;
  if (expected != json_value::value_t::null && value.type() != expected && !(integral && value.is_number_integer())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Forwarding %C to host %C: result of unexpected kind %C\n"), method.c_str(),
               host_uuid.c_str(), value.type_name()));
    return false;
  }
  result = value;
  return true;
}
