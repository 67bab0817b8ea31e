#ifndef AGENT_WEBSOCKET_OPTIONS_H
#define AGENT_WEBSOCKET_OPTIONS_H

#include <cstdint>
#include <mutex>
#include <string>

/// The agent's connection options towards backupd (host, port, SSL flag, CA
/// file), from agent.conf. Read on first use from the default directory.
/// Thread-safe.
class WebSocket_Options {
 public:
  static WebSocket_Options* instance();

  /// Reads (again) agent.conf of `dir`; false when it cannot be read.
  bool load(const std::string& dir);

  std::string host();
  std::uint16_t port();
  bool ssl();
  std::string ca_file();

 private:
  WebSocket_Options() = default;
  void ensure_loaded();

  std::mutex mutex_;
  bool loaded_ = false;
  std::string host_;
  std::uint16_t port_ = 0;
  bool ssl_ = false;
  std::string ca_file_;
};

#endif
