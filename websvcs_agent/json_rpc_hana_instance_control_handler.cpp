#include "websvcs_agent/json_rpc_hana_instance_control_handler.h"

#include <ace/Log_Msg.h>

#include <string>

#include "common/instance_control.h"
#include "websvcs_agent/request_checks.h"

namespace sap_hana {

JSON_RPC_HANA_Instance_Control_Handler::~JSON_RPC_HANA_Instance_Control_Handler() = default;

int JSON_RPC_HANA_Instance_Control_Handler::handle_object(std::weak_ptr<JSON_RPC_Channel> sender,
                                                          JSON_RPC_Object_Ptr object) {
  std::shared_ptr<JSON_RPC_Channel> channel = accept_request(sender, object);
  if (!channel) return -1;
  const json_value null_data;

  std::string sid, instance_name, action;
  try {
    extract_or_throw(object->params())("sid", sid)("instance_name", instance_name)("action", action);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Invalid params: %s\n", e.what()));
    return channel->send_error(-32602, object->id(), "Failed to initialize params\n", null_data);
  }
  if (sid.empty() || instance_name.empty())
    return channel->send_error(-32602, object->id(), "sid or instance_name is empty\n", null_data);

  Instance_Controller controller(sid);
  json_value result = json_value::object();
  bool done = false;
  if (action == "start") {
    done = controller.start(instance_name);
  } else if (action == "stop") {
    done = controller.stop(instance_name);
  } else if (action == "restart") {
    done = controller.restart(instance_name);
  } else if (action == "state") {
    Instance_Controller::Instance_State state = Instance_Controller::INSTANCE_STATE_UNKNOWN;
    done = controller.get_state(instance_name, state);
    result["state"] = static_cast<int>(state);
  } else {
    return channel->send_error(-32602, object->id(), "action is not supported\n", null_data);
  }
  if (!done) return channel->send_error(-32603, object->id(), "failed to handle instance\n", null_data);

  if (result.empty()) result["error"] = 0;
  return send_result(*channel, *object, result);
}

}  // namespace sap_hana
