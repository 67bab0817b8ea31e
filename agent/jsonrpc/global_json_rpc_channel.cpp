#include "agent/jsonrpc/global_json_rpc_channel.h"

#include <ace/Log_Msg.h>

#include "agent/config/agent_config.h"
#include "agent/jsonrpc/http_json_rpc_channel.h"

std::mutex Global_JSON_RPC_Channel::mutex_;
std::shared_ptr<JSON_RPC_Channel> Global_JSON_RPC_Channel::channel_;

std::shared_ptr<JSON_RPC_Channel> Global_JSON_RPC_Channel::instance() {
  std::lock_guard<std::mutex> lock(mutex_);
  return channel_;
}

void Global_JSON_RPC_Channel::set(std::shared_ptr<JSON_RPC_Channel> channel) {
  std::lock_guard<std::mutex> lock(mutex_);
  channel_ = std::move(channel);
}

bool Global_JSON_RPC_Channel::open_from_config(const std::string& dir) {
  Agent_Config config;
  std::string error;
  if (!config.load_conf(dir, error)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%C\n"), error.c_str()));
    return false;
  }
  // A missing key only means the server will refuse us; say so then.
  if (!config.load_access_key(dir, error)) ACE_ERROR((LM_WARNING, ACE_TEXT("%C\n"), error.c_str()));
  if (config.backupd_host.empty() || config.backupd_port == 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("No backupd address in %C/agent.conf\n"), dir.c_str()));
    return false;
  }
  HTTP_Session::Options options;
  options.host = config.backupd_host;
  options.port = config.backupd_port;
  options.ssl = config.backupd_ssl;
  options.ca_file = config.ca_file;
  options.name = "backupd";
  set(std::make_shared<HTTP_JSON_RPC_Channel>(options, "/jsonrpc", config.access_key));
  return true;
}
