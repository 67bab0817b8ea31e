#ifndef AGENT_HOST_MANAGER_H
#define AGENT_HOST_MANAGER_H

#include <cstddef>
#include <mutex>
#include <string>

#include "agent/base/secure_string.h"

/// This host's identity as the agent knows it: its UUID (agent.conf) and the
/// access key for backupd (the access_key file, readable by root only). The
/// configuration is read on first use from the default directory; a process
/// that cannot read the key (HANA's <sid>adm user) still gets the UUID.
/// Thread-safe.
class Host_Manager {
 public:
  static Host_Manager* instance();

  /// Reads (again) the configuration of `dir`. False when agent.conf cannot
  /// be read; a missing key file only leaves the key empty.
  bool load(const std::string& dir);

  std::string uuid();
  /// The access key; empty when the agent has none or it cannot be read.
  secure_string access_key();
  std::size_t access_key_size();
  /// The last load's error text (names the file), empty after success.
  std::string error();

 private:
  Host_Manager() = default;
  void ensure_loaded();

  std::mutex mutex_;
  bool loaded_ = false;
  std::string uuid_;
  secure_string access_key_;
  std::string error_;
};

#endif
