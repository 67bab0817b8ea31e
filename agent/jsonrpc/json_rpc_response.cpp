#include "agent/jsonrpc/json_rpc_response.h"

JSON_RPC_Response::JSON_RPC_Response(const JSON_RPC_Object& request) {
  type_ = TYPE_RESPONSE;
  id_ = request.id();
  result_ = json_value::object();
}
