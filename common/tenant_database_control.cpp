#include "common/tenant_database_control.h"

#include <ace/Log_Msg.h>

#include "agent/base/snprintf_t.h"
#include "common/list_databases.h"

namespace sap_hana {

namespace {

bool valid_name(const std::string& name) {
  if (is_hana_identifier(name)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid database name '%s'\n"), name.c_str()));
  return false;
}

}  // namespace

Tenant_Database_Controller::Tenant_Database_Controller(const std::string& sid, const std::string& instance_name,
                                                       const std::string& user, const secure_string& password) {
  executor_.init(sid, instance_name, "", user, password);
}

int Tenant_Database_Controller::is_active(const std::string& name) {
  Database_Lister lister(executor_);
  std::vector<Database_Info> infos;
  if (!lister.list(infos, name)) return -1;
  return !infos.empty() && infos.front().active ? 1 : 0;
}

bool Tenant_Database_Controller::start(const std::string& name) {
  if (!valid_name(name)) return false;
  if (is_active(name) == 1) return true;
  snprintf_t<256> sql("ALTER SYSTEM START DATABASE %s", name.c_str());
  return executor_.execute(sql.c_str(), ACE_Log_Msg_Callback_var());
}

bool Tenant_Database_Controller::stop(const std::string& name) {
  if (!valid_name(name)) return false;
  const int active = is_active(name);
  if (active < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get the state of database '%s'\n"), name.c_str()));
    return false;
  }
  if (active == 0) return true;
  snprintf_t<256> sql("ALTER SYSTEM STOP DATABASE %s", name.c_str());
  return executor_.execute(sql.c_str(), ACE_Log_Msg_Callback_var());
}

}  // namespace sap_hana
