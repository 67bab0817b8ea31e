#include "agent/config/websocket_options.h"

#include "agent/config/agent_config.h"

WebSocket_Options* WebSocket_Options::instance() {
  static WebSocket_Options options;
  return &options;
}

bool WebSocket_Options::load(const std::string& dir) {
  Agent_Config conf;
  std::string error;
  bool ok = conf.load_conf(dir, error);
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_ = true;
  host_ = conf.backupd_host;
  port_ = conf.backupd_port;
  ssl_ = conf.backupd_ssl;
  ca_file_ = conf.ca_file;
  return ok;
}

void WebSocket_Options::ensure_loaded() {
  bool loaded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loaded = loaded_;
  }
  if (!loaded) load(Agent_Config::directory());
}

std::string WebSocket_Options::host() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return host_;
}

std::uint16_t WebSocket_Options::port() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return port_;
}

bool WebSocket_Options::ssl() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return ssl_;
}

std::string WebSocket_Options::ca_file() {
  ensure_loaded();
  std::lock_guard<std::mutex> lock(mutex_);
  return ca_file_;
}
