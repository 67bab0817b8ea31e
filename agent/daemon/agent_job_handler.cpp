#include "agent/daemon/agent_job_handler.h"

#include "agent/jsonrpc/json_rpc_response.h"

const char* const Agent_Job_Handler::kMethods[] = {"agent.job.start",
                                                   "agent.job.stop",
                                                   "agent.job.pause",
                                                   "agent.job.resume",
                                                   "agent.job.abort",
                                                   "agent.job.remove",
                                                   "agent.job.update",
                                                   "agent.job.setup_ondemand",
                                                   "agent.job.status",
                                                   "agent.job.reload",
                                                   nullptr};

int Agent_Job_Handler::handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) {
  if (object->type() != JSON_RPC_Object::TYPE_REQUEST) return -1;
  const std::string command = object->method().substr(sizeof("agent.job.") - 1);
  const json_value& params = object->params();
  JSON_RPC_Response response(*object);
  if (command == "reload") {
    int n = jobs_.load_definitions();
    if (n < 0)
      return channel->send_error(Job_Manager::E_NO_SERVER, object->id(), "The backup server gave no job definitions",
                                 json_value());
    response.result()["jobs"] = n;
    return channel->send(response);
  }
  std::string id;
  Action_Options options;
  bool have_options = false;
  try {
    if (!params.is_null() && !params.is_object()) throw Json_Member_Error("params must be an object");
    if (command == "status") {
      object_get(params, "id", id);
    } else {
      id = object_get_str_or_throw(params, "id");
      if (id.empty()) throw Json_Member_Error("member \"id\" is empty");
      json_value opts;
      if (object_get(params, "options", opts) && !opts.is_null()) {
        if (!opts.is_object()) throw Json_Member_Error("member \"options\" is not an object");
        for (auto it = opts.begin(); it != opts.end(); ++it) options[it.key()] = it.value();
        have_options = !options.empty();
      }
    }
  } catch (const Json_Member_Error& e) {
    return channel->send_error(JSON_RPC_Object::E_INVALID_PARAMS, object->id(), e.what(), json_value());
  }
  if (command == "status") {
    if (id.empty()) {
      response.result()["jobs"] = jobs_.status_all();
    } else {
      json_value one = jobs_.status(id);
      if (one.is_null())
        return channel->send_error(Job_Manager::E_NO_DEFINITION, object->id(), "No job of definition " + id,
                                   json_value());
      response.result()["jobs"] = json_value::array({one});
    }
    return channel->send(response);
  }
  std::string error;
  int rc = jobs_.command(command, id, have_options ? &options : nullptr, error);
  if (rc != 0) return channel->send_error(rc, object->id(), error, json_value());
  json_value status = jobs_.status(id);
  response.result() = status.is_null() ? json_value::object({{"id", id}}) : status;
  return channel->send(response);
}
