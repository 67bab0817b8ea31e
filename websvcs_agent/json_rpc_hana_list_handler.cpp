#include "websvcs_agent/json_rpc_hana_list_handler.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>

#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include "agent/base/file_utils.h"
#include "agent/base/natoi.h"
#include "agent/base/secure_string.h"
#include "agent/json/json_file.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "agent/jsonrpc/json_rpc_session.h"
#include "common/list_databases.h"
#include "instance/started_instances.h"
#include "common/utils.h"

namespace sap_hana {

namespace {
const char* const kInstanceType = "hana";
const json_value kNoData;
}  // namespace

JSON_RPC_HANA_List_Handler::JSON_RPC_HANA_List_Handler() = default;

JSON_RPC_HANA_List_Handler::~JSON_RPC_HANA_List_Handler() {
  // The workers read job_def_timeout_.
  stop();
}

int JSON_RPC_HANA_List_Handler::init(int argc, ACE_TCHAR* argv[]) {
  ACE_Get_Opt options(argc, argv, ACE_TEXT("t:"));
  int option;
  while ((option = options()) != EOF) {
    if (option != 't') {
      ACE_ERROR((LM_ERROR, "Invalid argument of the HANA list service\n"));
      return -1;
    }
    errno = 0;
    int seconds = natoi<int>(options.opt_arg());
    if (errno != 0 || seconds < 1) {
      ACE_ERROR((LM_ERROR, "Invalid time limit '%s' of the HANA list service\n", options.opt_arg()));
      return -1;
    }
    job_def_timeout_ = seconds;
  }
  return 0;
}

std::shared_ptr<Instance> JSON_RPC_HANA_List_Handler::find_instance(const std::string& name) {
  return Instance_Manager::instance()->find(kInstanceType, name);
}

int JSON_RPC_HANA_List_Handler::handle_object_i(std::shared_ptr<JSON_RPC_Channel> channel, JSON_RPC_Object_Ptr object) {
  if (!channel) {
    ACE_ERROR((LM_ERROR, "Abort handle JSON-RPC request, requester is gone\n"));
    return -1;
  }
  if (!object) return channel->send_error(-32602, json_value(), "", kNoData);
  if (object->type() != JSON_RPC_Object::TYPE_REQUEST) return -1;

  const json_value& params = object->params();
  if (params.is_null()) return list_instances(*channel, *object);
  if (params.is_object()) return list_databases(*channel, *object);
  return channel->send_error(-32602, object->id(), "Invalid request", kNoData);
}

int JSON_RPC_HANA_List_Handler::list_instances(JSON_RPC_Channel& channel, const JSON_RPC_Object& request) {
  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request));
  if (!response) {
    errno = ENOMEM;
    return -1;
  }
  std::vector<System_Instance_Info> infos;
  if (!list_started_instances(infos))
    return channel.send_error(-32603, request.id(), "Failed to list instance info", kNoData);

  json_value& result = response->result();
  result = json_value::array();
  for (const auto& info : infos) {
    result.push_back(json_value{{"sid", info.system_info.sid},
                                {"instance_name", info.instance_name},
                                {"instance_number", info.instance_number},
                                {"version", info.system_info.version},
                                {"localhost", info.system_info.localhost}});
  }
  return channel.send(*response);
}

int JSON_RPC_HANA_List_Handler::list_databases(JSON_RPC_Channel& channel, const JSON_RPC_Object& request) {
  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(request));
  if (!response) {
    errno = ENOMEM;
    return -1;
  }
  std::string uid, instance_name;
  try {
    extract_or_throw(request.params())("uid", uid)("instance", instance_name);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Invalid params: %s\n", e.what()));
    return channel.send_error(-32602, request.id(), "Invalid params", kNoData);
  }

  std::string user;
  secure_string password;
  if (Instance_Manager::instance()->get_account(kInstanceType, instance_name, uid, user, password, nullptr) != 0)
    return channel.send_error(-32603, request.id(), "Failed to get account", kNoData);

  // The instance may have left the registry since its account was read.
  std::shared_ptr<Instance> instance = find_instance(instance_name);
  std::string sid, hana_instance_name;
  if (!instance || !instance->get_option("sid", sid) || !instance->get_option("instance_name", hana_instance_name))
    return channel.send_error(-32603, request.id(), "Failed to get SID or instance name", kNoData);

  std::vector<Database_Info> databases;
  Database_Lister lister(sid, hana_instance_name, user, password);
  if (!lister.list(databases)) return channel.send_error(-32603, request.id(), "Failed to list database", kNoData);

  Job_Definitions definitions;
  json_value list = json_value::array();
  for (const auto& database : databases) {
    list.push_back(
        json_value{{"name", database.name},
                   {"owner", database.description},
                   {"os_user", database.os_user},
                   {"os_group", database.os_group},
                   {"active", database.active},
                   {"log_backup_mode", log_backup_mode(sid, hana_instance_name, database.name, definitions)}});
  }
  response->result() = json_value{{"instance", instance_name}, {"databases", list}};
  return channel.send(*response);
}

std::string JSON_RPC_HANA_List_Handler::log_backup_mode(const std::string& sid, const std::string& instance_name,
                                                        const std::string& database, Job_Definitions& definitions) {
  std::string path;
  if (ondemand_conf_path(sid, instance_name, database, path) && is_valid_log_backup_conf(path, definitions))
    return "database";
  if (ondemand_conf_path(sid, instance_name, "", path) && is_valid_log_backup_conf(path, definitions))
    return "instance";
  return "none";
}

bool JSON_RPC_HANA_List_Handler::is_valid_log_backup_conf(const std::string& path, Job_Definitions& definitions) {
  if (!is_regular_file(path.c_str())) return false;
  json_value conf;
  std::string uuid;
  try {
    if (!load_json(path, conf)) throw Json_Member_Error("not a JSON file");
    uuid = object_get_str_or_throw(conf, "job_definition_uuid");
  } catch (const Json_Member_Error&) {
    ACE_ERROR((LM_ERROR, "Failed to load %s\n", path.c_str()));
    return false;
  }
  return job_definition_listed(uuid, definitions);
}

bool JSON_RPC_HANA_List_Handler::job_definition_listed(const std::string& uuid, Job_Definitions& definitions) {
  auto known = definitions.known.find(uuid);
  if (known != definitions.known.end()) return known->second;
  if (definitions.server_silent) {
    ACE_ERROR((LM_ERROR, "Failed to get job definition detail, the backup server did not answer before\n"));
    return false;
  }

  JSON_RPC_Object_Ptr answer;
  JSON_RPC_Session session(Global_JSON_RPC_Channel::instance());
  if (session.request("job.def.list", json_value{{"uuid", uuid}}, answer, job_def_timeout_) != 0) {
    // Unsent or unanswered in time: one wait per request is enough to learn
    // that the server is not there.
    ACE_ERROR((LM_ERROR, "Failed to get job definition detail, no answer within %d seconds\n", job_def_timeout_));
    definitions.server_silent = true;
    return false;
  }
  bool listed = false;
  if (!answer || answer->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    ACE_ERROR((LM_ERROR, "Failed to get job definition detail\n"));
  } else {
    listed = answer->result().is_array() && !answer->result().empty();
  }
  definitions.known[uuid] = listed;
  return listed;
}

}  // namespace sap_hana
