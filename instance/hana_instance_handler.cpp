#include "instance/hana_instance_handler.h"

#include <ace/Log_Msg.h>

#include <vector>

#include "agent/config/instance_manager.h"
#include "agent/base/secure_string.h"
#include "agent/process/text_process_handler.h"
#include "common/hdbsql_executor.h"
#include "common/instance_control.h"
#include "common/precondition.h"
#include "common/replication_state_getter.h"
#include "common/system_control.h"
#include "common/utils.h"
#include "instance/started_instances.h"

namespace sap_hana {

namespace {
const char* const kInstanceType = "hana";
}  // namespace

HANA_Instance_Handler::HANA_Instance_Handler() : Instance_Handler(kInstanceType) {}

HANA_Instance_Handler::~HANA_Instance_Handler() = default;

int HANA_Instance_Handler::probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) {
  std::vector<System_Instance_Info> infos;
  if (!list_started_instances(infos)) return -1;

  // Instances of one system share its global.ini: read it once per probe.
  std::map<std::string, bool> multi_container;
  for (const auto& info : infos) {
    const std::string& sid = info.system_info.sid;
    auto known = multi_container.find(sid);
    if (known == multi_container.end())
      known = multi_container.emplace(sid, System_Controller(sid).is_multi_container()).first;

    json_value options = json_value::object();
    options["sid"] = sid;
    options["version"] = info.system_info.version;
    options["instance_number"] = info.instance_number;
    options["instance_name"] = info.instance_name;
    options["localhost"] = info.system_info.localhost;
    options["dir_executable"] = info.dir_executable;
    options["multi_container"] = known->second;

    std::string name = generate_instance_manager_name(sid, info.instance_name);
    instances[name] = std::make_shared<Instance>(kInstanceType, name, options);
  }
  return 0;
}

std::string& HANA_Instance_Handler::get_state(const char* name, std::string& state) {
  state = "error";
  if (name == nullptr || *name == '\0') return state;
  std::shared_ptr<Instance> instance = Instance_Manager::instance()->find(kInstanceType, name);
  if (!instance) return state;

  std::string sid;
  ACE_UINT16 number = 0;
  if (!instance->get_option("sid", sid) || !instance->get_option("instance_number", number)) return state;

  Instance_Controller::Instance_State running = Instance_Controller::INSTANCE_STATE_UNKNOWN;
  if (!Instance_Controller(sid).get_state(number, running) || running != Instance_Controller::INSTANCE_STATE_RUNNING)
    return state;

  // A system replication secondary cannot be backed up; a system without
  // replication settings leaves the mode empty.
  Replication_State replication;
  if (!Replication_State_Getter(sid).get_state(replication)) replication.mode.clear();
  if (replication.mode == "sync" || replication.mode == "async" || replication.mode == "syncmem") return state;
  state = "open";
  return state;
}

int HANA_Instance_Handler::logon(const char* instance_name, const char* username, const char* password,
                                 const json_value* /*extended_attrs*/) {
  HANA_REQUIRE_NONEMPTY(instance_name, E_OTHER);
  HANA_REQUIRE_NONEMPTY(username, E_OTHER);
  // A user store key ("@<key>") stands for user and password at once.
  if (!HDBSQL_Executor::names_store_key(username)) HANA_REQUIRE_NONEMPTY(password, E_OTHER);
  if (password == nullptr) password = "";
  if (!Instance_Manager::instance()->find(kInstanceType, instance_name)) return E_OTHER;

  HDBSQL_Executor executor;
  executor.trial(true);
  if (!executor.init(instance_name, "", username, secure_string(password))) {
    ACE_ERROR(
        (LM_ERROR, ACE_TEXT("Failed to login HANA database instance '%C', failed to init hdbsql\n"), instance_name));
    return E_OTHER;
  }
  // hdbsql's connection status: it succeeds only when the log-on does. A
  // database that does not answer must not hold the agent's thread for ever.
  Text_Process_Handler discard(Text_Process_Handler::TPHF_LOG_NONE, 60);
  discard.time_limit(LOGON_TIME_LIMIT);
  if (!executor.execute("\\s", &discard)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to login HANA database instance '%C'\n"), instance_name));
    return E_INVALID_USERNAME_OR_PASSWORD;
  }
  return E_OK;
}

}  // namespace sap_hana
