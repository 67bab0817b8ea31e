#ifndef AGENT_JSON_RPC_RESPONSE_H
#define AGENT_JSON_RPC_RESPONSE_H

#include "agent/jsonrpc/json_rpc_object.h"

/// The response to a request: TYPE_RESPONSE with the request's id and a
/// result that starts as an empty object; the handler fills result() and
/// hands the response to its channel's send().
class JSON_RPC_Response : public JSON_RPC_Object {
 public:
  explicit JSON_RPC_Response(const JSON_RPC_Object& request);
};

#endif
