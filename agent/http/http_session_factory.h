#ifndef AGENT_HTTP_SESSION_FACTORY_H
#define AGENT_HTTP_SESSION_FACTORY_H

#include <cstdint>
#include <string>

#include "agent/http/http_session.h"

/// Extra TLS settings; a null pointer means the defaults: the CA file of
/// agent.conf ("ca_file", WebSocket_Options::instance()->ca_file()), or the
/// system's CA store when that is empty.
struct HTTP_SSL_Context {
  std::string ca_file;
};

/// Session types accepted by the factories. Only the JSON-over-HTTP/1.1
/// session exists; the number is kept for callers that pass it.
enum { HTTP_SESSION_TYPE_JSON = 3 };

/// Everything a session to an explicit backupd address is made from; the
/// defaults are what our own callers pass.
struct HTTP_Session_Settings {
  std::string host;
  std::uint16_t port = 0;
  bool ssl = false;
  const char* name = nullptr;                 ///< label for log lines
  const HTTP_SSL_Context* ssl_ctx = nullptr;  ///< null: the defaults above
  bool insecure = false;                      ///< skip certificate checks (tests only)
  long connect_timeout = 120;                 ///< seconds, see HTTP_Session
  long transfer_timeout = 120;
  long low_speed_time = 120;
};

/// Makes sessions to an explicit backupd address.
class HTTP_Session_Factory {
 public:
  /// The same as the positional create() below, with type
  /// HTTP_SESSION_TYPE_JSON and no flags.
  static HTTP_Session_Ptr create(const HTTP_Session_Settings& settings);

  /// create(host, port, ssl, name, type, ssl_ctx, insecure,
  ///        connect_timeout, transfer_timeout, low_speed_time, flags)
  ///   host, port, ssl  address of backupd; an empty host or port 0 fails
  ///   name             label for log lines (may be null)
  ///   type             session type, HTTP_SESSION_TYPE_JSON (3)
  ///   ssl_ctx          TLS settings, null for the defaults above
  ///   insecure         true skips certificate verification (tests only)
  ///   *_timeout/time   seconds, see HTTP_Session (callers pass 120 each)
  ///   flags            reserved, 0
  /// Returns the session, or an empty pointer on failure (logged). Creating a
  /// session does not connect; the first request does.
  static HTTP_Session_Ptr create(const std::string& host, std::uint16_t port, bool ssl, const char* name, int type,
                                 const HTTP_SSL_Context* ssl_ctx, bool insecure, long connect_timeout,
                                 long transfer_timeout, long low_speed_time, int flags);
};

/// Makes a session to the backupd of the agent's own configuration
/// (get_backupd_address: "backupd_host", "backupd_port", "backupd_ssl" of
/// agent.conf, CA file from WebSocket_Options), with the host's access key
/// (Host_Manager::instance()->access_key()) already on its headers as
/// HTTP_HEAD_X_ACCESS_KEY. Time-outs: 120 s connect, 300 s transfer, 120 s
/// stall.
class Common_HTTP_Session_Factory {
 public:
  /// create(type, params, flags): type HTTP_SESSION_TYPE_JSON (3); params
  /// null or TLS settings; flags reserved (0). Empty pointer on failure
  /// (configuration missing, no host or port; logged).
  static HTTP_Session_Ptr create(int type, const HTTP_SSL_Context* params, int flags);
};

#endif
