#ifndef AGENT_AGENT_CONFIG_H
#define AGENT_AGENT_CONFIG_H

#include <cstdint>
#include <string>

#include "agent/base/secure_string.h"
#include "agent/base/agent_paths.h"

/// The agent's own configuration, two files in the component's
/// configuration directory (/etc/opt/corvane/strovix3/<component>):
///   agent.conf  JSON object, mode 0644: "host_uuid" (string, required),
///               "backupd_host" (string), "backupd_port" (integer 1-65535),
///               "backupd_ssl" (bool), "ca_file" (string, for HTTPS);
///   access_key  the raw access key, mode 0600, root only.
struct Agent_Config {
  static constexpr const char* kDefaultDir = agent_paths::kAgentConfigDir;

  std::string host_uuid;
  std::string backupd_host;
  std::uint16_t backupd_port = 0;
  bool backupd_ssl = false;
  std::string ca_file;
  secure_string access_key;

  /// The configuration directory of a component ("agent").
  static std::string directory(const std::string& component = "agent");

  /// Reads agent.conf of `dir`. False with `error` naming the file and the
  /// fault when it is missing or malformed.
  bool load_conf(const std::string& dir, std::string& error);
  /// Reads the access_key file of `dir` (trailing newline dropped). False
  /// with `error` naming the file when it cannot be read or is empty.
  bool load_access_key(const std::string& dir, std::string& error);
};

#endif
