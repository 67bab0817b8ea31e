#ifndef AGENT_AGENT_SETTINGS_H
#define AGENT_AGENT_SETTINGS_H

#include <cstdint>
#include <string>

#include "agent/base/secure_string.h"

/// What strovix3-agent reads from its configuration directory (default
/// /etc/opt/corvane/strovix3/agent): agent.conf (JSON object), the raw
/// access key file access_key (the host's key for backupd) and the
/// endpoint's own key endpoint_key. Both key files must belong to the
/// agent's user (root) and be readable by nobody else (mode 0600 or
/// stricter); otherwise loading fails, as for a missing access key.
///
/// The endpoint accepts only the endpoint key: the access key also reaches
/// hana-backint (encrypted in a file that group sapsys reads), the endpoint
/// key never leaves root's files and the server, which gets it at
/// registration over the session that the access key authenticates.
///
/// agent.conf members (besides the server's "backupd_*" and "ca_file"):
///   "host_uuid"          string, required: this host's UUID
///   "rpc_address"        numeric IPv4/IPv6 address to listen on ("127.0.0.1")
///   "rpc_port"           integer 0-65535 (7713); 0 picks a free port
///   "rpc_cert", "rpc_key" PEM files; required (HTTPS only) on any address
///                        other than loopback
///   "rpc_advertise"      URL the server uses to reach this agent (default:
///                        http(s)://<rpc_address>:<port>)
///   "rpc_request_timeout" seconds a request may run before its requester
///                        gets -32603 (600)
///   "svc_conf"           service configuration (<dir>/svc.conf)
///   "work_dir"           the agent's work directory
///                        (/var/opt/corvane/strovix3/agent); the listening
///                        port is written to <work_dir>/rpc-port
///   "instance_registry"  registry file (<work_dir>/instances.json)
class Agent_Settings {
 public:
  static constexpr std::uint16_t kDefaultPort = 7713;

  std::string conf_dir;
  std::string host_uuid;
  secure_string access_key;
  /// Empty until created (create_endpoint_key()) or found by load().
  secure_string endpoint_key;
  std::string rpc_address = "127.0.0.1";
  std::uint16_t rpc_port = kDefaultPort;
  std::string rpc_cert;
  std::string rpc_key;
  std::string rpc_advertise;
  int request_timeout = 600;
  std::string svc_conf;
  std::string work_dir = "/var/opt/corvane/strovix3/agent";
  std::string instance_registry;

  /// Reads agent.conf and access_key of `dir`. False with `error` naming
  /// the file and the fault (never the key). A missing key is an error: the
  /// endpoint must never run without one.
  bool load(const std::string& dir, std::string& error);
  /// The endpoint key is loaded, or created now: 32 random bytes in
  /// hexadecimal, written to a new file of mode 0600. False with `error`.
  bool create_endpoint_key(std::string& error);
  std::string endpoint_key_file() const { return conf_dir + "/endpoint_key"; }

  /// The listening address is a loopback address (127.0.0.0/8, ::1).
  bool loopback() const;
  /// The endpoint serves HTTPS (a certificate and key are named; always so
  /// off loopback).
  bool tls() const { return !rpc_cert.empty() && !rpc_key.empty(); }
  /// "http://127.0.0.1:7713" (https with TLS, IPv6 bracketed) for `port`.
  std::string endpoint_url(std::uint16_t port) const;
  std::string port_file() const { return work_dir + "/rpc-port"; }
};

#endif
