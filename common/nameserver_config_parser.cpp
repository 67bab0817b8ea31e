#include "common/nameserver_config_parser.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string.hpp>

#include "agent/base/file_utils.h"
#include "agent/base/snprintf_t.h"
#include "common/host_info_getter.h"
#include "common/ini_file.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

// Restores the logging switch on every way out of is_cluster().
class Quiet_Scope {
 public:
  explicit Quiet_Scope(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
  ~Quiet_Scope() { flag_ = saved_; }
  Quiet_Scope(const Quiet_Scope&) = delete;
  Quiet_Scope& operator=(const Quiet_Scope&) = delete;

 private:
  bool& flag_;
  bool saved_;
};

}  // namespace

Name_Server_Config_Parser::Name_Server_Config_Parser(const std::string& sid)
    : sid_(sid), path_(snprintf_t<4096>(hana_paths::kNameserverIniFormat, sid.c_str()).c_str()), disable_log_(false) {}

bool Name_Server_Config_Parser::get_value(const char* key, std::string& value) {
  if (!is_regular_file(path_.c_str())) {
    if (!disable_log_)
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get value, file '%s' does not exist\n"), path_.c_str()));
    return false;
  }
  Ini_File ini;
  std::string error;
  if (!ini.load(path_, error) || !ini.get(key, value, error)) {
    if (!disable_log_)
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get %s in %s, %s\n"), key, path_.c_str(), error.c_str()));
    return false;
  }
  return true;
}

bool Name_Server_Config_Parser::get_value_and_split(const char* key, std::vector<std::string>& values) {
  std::string value;
  if (!get_value(key, value)) return false;
  boost::trim_if(value, boost::is_any_of(" "));
  values.clear();
  if (!value.empty()) boost::split(values, value, boost::is_any_of(" "), boost::token_compress_on);
  return !values.empty();
}

bool Name_Server_Config_Parser::get_master(std::vector<std::string>& hosts) {
  return get_value_and_split("landscape.master", hosts);
}

bool Name_Server_Config_Parser::get_worker(std::vector<std::string>& hosts) {
  return get_value_and_split("landscape.worker", hosts);
}

bool Name_Server_Config_Parser::get_standby(std::vector<std::string>& hosts) {
  return get_value_and_split("landscape.standby", hosts);
}

bool Name_Server_Config_Parser::is_cluster(bool& cluster) {
  cluster = false;
  Quiet_Scope quiet(disable_log_);
  std::vector<std::string> workers;
  if (!get_worker(workers)) return false;
  if (workers.size() >= 2) {
    cluster = true;
    return true;
  }
  std::vector<std::string> standby;
  get_standby(standby);
  cluster = !standby.empty();
  return true;
}

bool Name_Server_Config_Parser::is_active_master(bool& active) {
  active = false;
  std::string host;
  if (!Host_Info_Getter(sid_).hostname(host)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get the host name to check if the master nameserver is active.\n")));
    return false;
  }
  std::string master;
  if (!get_value("landscape.active_master", master)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to check if the master nameserver is active\n")));
    return false;
  }
  active = boost::starts_with(master, host + ":");
  return true;
}

bool Name_Server_Config_Parser::get_role(std::string& role) {
  std::string host;
  if (!Host_Info_Getter(sid_).hostname(host)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get the host name to get role\n")));
    return false;
  }
  const std::string key = snprintf_t<4096>("roles_%s", host.c_str()).c_str();
  // HANA writes the roles into [landscape]; a top-level key is honoured first.
  {
    Quiet_Scope quiet(disable_log_);
    if (get_value(key.c_str(), role)) return true;
  }
  return get_value(("landscape." + key).c_str(), role);
}

std::string Name_Server_Config_Parser::get_landscape_uuid() {
  Ini_File ini;
  std::string error;
  std::string id;
  if (!ini.load(path_, error) || !ini.get("landscape.id", id, error)) return std::string();
  return id;
}

}  // namespace sap_hana
