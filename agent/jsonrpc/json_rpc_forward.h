#ifndef AGENT_JSON_RPC_FORWARD_H
#define AGENT_JSON_RPC_FORWARD_H

#include <string>

#include "agent/json/json_access.h"

/// Calls `method` with `params` on the agent of host `host_uuid`, routed
/// through the backup server (its JSON-RPC method "agent.forward" over
/// Global_JSON_RPC_Channel), waiting at most `timeout_seconds` in all
/// (at least 2; the server gives up on the peer a second earlier, at most
/// after 600 s).
///
/// `type` is the kind of result expected, a json_value::value_t as int:
/// value_t::null (0) accepts any result; another kind makes a result of a
/// different kind a failure.
///
/// True when the peer agent answered: `result` is its result, or, when it
/// answered with an error, the error object {"code", "message"[, "data"]}.
/// False (logged) when there is no channel to the server, the server does
/// not know the host, the peer does not answer within the limit, or the
/// result has the wrong kind; `result` is then null.
bool json_rpc_forward(const std::string& method, const json_value& params, const std::string& host_uuid,
                      json_value& result, int type, int timeout_seconds = 120);

#endif
