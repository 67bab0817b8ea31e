#ifndef SAP_HANA_REQUEST_CHECKS_H
#define SAP_HANA_REQUEST_CHECKS_H

#include <memory>

#include "agent/jsonrpc/json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_object.h"

namespace sap_hana {

/// The checks every service of the plug-in that answers on the receiving
/// thread makes first: `object` must be a request or a notification (else
/// logged at emergency priority), and the requester must still be there
/// (else logged). Returns the requester's channel, or null when the request
/// is not to be handled.
std::shared_ptr<JSON_RPC_Channel> accept_request(const std::weak_ptr<JSON_RPC_Channel>& sender,
                                                 const JSON_RPC_Object_Ptr& object);

/// Sends the response to `request` whose result is `result`. -1 with errno
/// ENOMEM when the response cannot be allocated; otherwise the send's result.
int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Object& request, const json_value& result);

}  // namespace sap_hana

#endif
