#include "common/list_instances.h"

#include <ace/Log_Msg.h>
#include <ace/Process.h>

#include <set>

#include "common/environ_getter.h"
#include "common/utils.h"

namespace sap_hana {

const boost::regex GET_VERSION_RE("\\s*version:\\s*([0-9\\.]*).*", boost::regex::perl);

Get_Version_Line_Handler::Get_Version_Line_Handler(std::string& version)
    : Text_Process_Handler(TPHF_LOG_NONE, 60), version_(version) {}

Get_Version_Line_Handler::~Get_Version_Line_Handler() {}

int Get_Version_Line_Handler::handle_stdout_line(const char* line, size_t len) {
  if (line == nullptr) return 0;
  boost::cmatch m;
  if (boost::regex_search(line, line + len, m, GET_VERSION_RE)) version_ = m[1].str();
  return 0;
}

bool System_Instance_Lister::list_service(std::vector<Service_Info>& services) {
  if (Service_Lister::list_service("^/usr/sap/[A-Z][A-Z0-9]{2}/HDB[0-9][0-9]/exe/sapstartsrv( |$)", services, false,
                                   "C") != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get HANA services\n")));
    return false;
  }
  return !services.empty();
}

bool System_Instance_Lister::get_version(const std::string& dir_executable, std::string& version) {
  if (dir_executable.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Missing executable dir to get HANA version\n")));
    return false;
  }
  ACE_Process_Options options(true, 1024, 16384, 512, 128);
  options.handle_inheritance(false);
  options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s"), dir_executable.c_str());
  Get_Version_Line_Handler handler(version);
  handler.time_limit(Text_Process_Handler::TERM_TIMEOUT);
  std::vector<std::string> argv = {dir_executable + "/hdbsrvutil", "-v"};
  if (handler.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, argv, options) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get HANA version\n")));
    return false;
  }
  return true;
}

bool System_Instance_Lister::list(std::vector<System_Instance_Info>& infos) {
  std::vector<Service_Info> services;
  if (!list_service(services)) return false;
  std::set<std::string> seen;
  for (const Service_Info& service : services) {
    HANA_Env_Value env;
    // hdbsrvutil runs from the directory the environment names: only a
    // process that belongs to its system may name it.
    if (!Environ_Getter::instance()->get_start_service(service.pid, env)) continue;
    if (env.sid.empty() || env.hostname.empty()) continue;
    std::string instance_name;
    if (!instance_number_to_name(env.instance_number, instance_name)) continue;
    if (!seen.insert(env.sid + "_" + instance_name).second) continue;

    System_Instance_Info info;
    info.system_info.sid = env.sid;
    info.instance_number = env.instance_number;
    info.system_info.localhost = env.hostname;
    info.dir_executable = env.dir_executable;
    info.instance_name = instance_name;
    get_version(info.dir_executable, info.system_info.version);
    infos.push_back(info);
  }
  return true;
}

bool System_Instance_Lister::list(System_Instance_Info& info, const std::string& sid,
                                  const std::string& instance_name) {
  std::vector<System_Instance_Info> infos;
  if (!list(infos) || infos.empty()) return false;
  for (const auto& i : infos) {
    if (i.instance_name == instance_name && i.system_info.sid == sid) {
      info = i;
      return true;
    }
  }
  return false;
}

}  // namespace sap_hana
