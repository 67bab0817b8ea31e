#include "agent/config/backupd_address.h"

#include <ace/Log_Msg.h>

#include "agent/config/agent_config.h"

bool get_backupd_address(std::string& host, std::uint16_t& port, bool& ssl, secure_string& access_key,
                         const char* component) {
  const std::string dir = Agent_Config::directory(component ? component : "agent");
  Agent_Config conf;
  std::string error;
  if (!conf.load_conf(dir, error)) {
    ACE_ERROR((LM_ERROR, "%s\n", error.c_str()));
    return false;
  }
  host = conf.backupd_host;
  port = conf.backupd_port;
  ssl = conf.backupd_ssl;
  if (conf.load_access_key(dir, error)) {
    access_key = std::move(conf.access_key);
  } else {
    ACE_ERROR((LM_ERROR, "%s\n", error.c_str()));
  }
  return true;
}
