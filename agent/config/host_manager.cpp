#include "agent/config/host_manager.h"

#include "agent/config/agent_config.h"

Host_Manager* Host_Manager::instance() {
  static Host_Manager manager;
  return &manager;
}

bool Host_Manager::load(const std::string& dir) {
  Agent_Config conf;
  std::string error;
  bool ok = conf.load_conf(dir, error);
  std::string key_error;
  conf.load_access_key(dir, key_error);
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_ = true;
  uuid_ = ok ? conf.host_uuid : std::string();
  access_key_ = std::move(conf.access_key);
  error_ = ok ? std::string() : error;
  return ok;
}

void Host_Manager::ensure_loaded() {
  bool loaded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loaded = loaded_;
  }
  if (!loaded) load(Agent_Config::directory());
}

std::string Host_Manager::uuid() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return uuid_;
}

secure_string Host_Manager::access_key() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return access_key_;
}

std::size_t Host_Manager::access_key_size() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return access_key_.size();
}

std::string Host_Manager::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}
