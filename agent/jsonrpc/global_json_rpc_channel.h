#ifndef AGENT_GLOBAL_JSON_RPC_CHANNEL_H
#define AGENT_GLOBAL_JSON_RPC_CHANNEL_H

#include <memory>
#include <mutex>
#include <string>

#include "agent/jsonrpc/json_rpc_channel.h"

/// The agent's channel to the backup server's JSON-RPC endpoint (POST
/// "/jsonrpc" on backupd, with the host's access key), shared by every
/// service of the process.
///
/// instance() is null until the agent installs one (set()); a process that
/// runs without a server (tests, `strovix3-agent call`) may leave it null or
/// install its own. Thread-safe.
class Global_JSON_RPC_Channel {
 public:
  static std::shared_ptr<JSON_RPC_Channel> instance();
  /// Installs `channel` (null removes it).
  static void set(std::shared_ptr<JSON_RPC_Channel> channel);
  /// Installs a channel to the backupd that agent.conf and access_key of
  /// configuration directory `dir` name ("backupd_host", "backupd_port",
  /// "backupd_ssl", "ca_file"). False (logged) when the configuration cannot
  /// be read or names no server; the installed channel is then unchanged.
  static bool open_from_config(const std::string& dir);

 private:
  static std::mutex mutex_;
  static std::shared_ptr<JSON_RPC_Channel> channel_;
};

#endif
