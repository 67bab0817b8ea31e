#include "agent/daemon/agent_probe_handler.h"

#include "agent/jsonrpc/json_rpc_response.h"

json_value Agent_Probe_Handler::to_json(const std::vector<std::shared_ptr<Instance>>& instances) {
  json_value list = json_value::array();
  for (const auto& i : instances)
    list.push_back({{"type", i->type()}, {"name", i->name()}, {"uuid", i->uuid()}, {"options", i->options()}});
  return list;
}

int Agent_Probe_Handler::handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) {
  if (object->type() != JSON_RPC_Object::TYPE_REQUEST) return -1;
  std::vector<std::shared_ptr<Instance>> found;
  if (prober_.probe(found) != 0)
    return channel->send_error(JSON_RPC_Object::E_INTERNAL_ERROR, object->id(), "Probe failed", json_value());
  JSON_RPC_Response response(*object);
  response.result()["instances"] = to_json(found);
  return channel->send(response);
}
