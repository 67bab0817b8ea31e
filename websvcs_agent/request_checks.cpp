#include "websvcs_agent/request_checks.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <new>

#include "agent/jsonrpc/json_rpc_response.h"

namespace sap_hana {

std::shared_ptr<JSON_RPC_Channel> accept_request(const std::weak_ptr<JSON_RPC_Channel>& sender,
                                                 const JSON_RPC_Object_Ptr& object) {
  if (!object || (object->type() != JSON_RPC_Object::TYPE_REQUEST && object->type() != JSON_RPC_Object::TYPE_NOTIFY)) {
    ACE_ERROR((LM_EMERGENCY, "Unexpected error in %N:%l, obj is neither JSON-RPC request nor notify!\n"));
    return nullptr;
  }
  std::shared_ptr<JSON_RPC_Channel> channel = sender.lock();
  if (!channel) ACE_ERROR((LM_ERROR, "Abort handling JSON-RPC request, requester has gone.\n"));
  return channel;
}

int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Object& request, const json_value& result) {
  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request));
  if (!response) {
    errno = ENOMEM;
    return -1;
  }
  response->result() = result;
  return channel.send(*response);
}

}  // namespace sap_hana
