#include "agent/http/http_session_factory.h"

#include <ace/Log_Msg.h>

#include "agent/config/backupd_address.h"
#include "agent/config/host_manager.h"
#include "agent/config/websocket_options.h"

HTTP_Session_Ptr HTTP_Session_Factory::create(const std::string& host, std::uint16_t port, bool ssl, const char* name,
                                              int type, const HTTP_SSL_Context* ssl_ctx, bool insecure,
                                              long connect_timeout, long transfer_timeout, long low_speed_time,
                                              int /*flags*/) {
  if (type != HTTP_SESSION_TYPE_JSON) {
    ACE_ERROR((LM_ERROR, "Unsupported HTTP session type %d\n", type));
    return HTTP_Session_Ptr();
  }
  if (host.empty() || port == 0) {
    ACE_ERROR((LM_ERROR, "Failed to create HTTP session: no backupd host or port\n"));
    return HTTP_Session_Ptr();
  }
  HTTP_Session::Options o;
  o.host = host;
  o.port = port;
  o.ssl = ssl;
  o.name = name ? name : "";
  o.insecure = insecure;
  if (ssl) o.ca_file = ssl_ctx ? ssl_ctx->ca_file : WebSocket_Options::instance()->ca_file();
  o.connect_timeout = connect_timeout;
  o.transfer_timeout = transfer_timeout;
  o.low_speed_time = low_speed_time;
  auto session = std::make_shared<HTTP_Session>(o);
  if (!session->ok()) {
    ACE_ERROR((LM_ERROR, "Failed to create HTTP session to %s:%hu\n", host.c_str(), port));
    return HTTP_Session_Ptr();
  }
  return session;
}

HTTP_Session_Ptr HTTP_Session_Factory::create(const HTTP_Session_Settings& s) {
  return create(s.host, s.port, s.ssl, s.name, HTTP_SESSION_TYPE_JSON, s.ssl_ctx, s.insecure, s.connect_timeout,
                s.transfer_timeout, s.low_speed_time, 0);
}

HTTP_Session_Ptr Common_HTTP_Session_Factory::create(int type, const HTTP_SSL_Context* params, int flags) {
  std::string host;
  std::uint16_t port = 0;
  bool ssl = false;
  secure_string key;
  if (!get_backupd_address(host, port, ssl, key, "agent")) return HTTP_Session_Ptr();
  HTTP_Session_Ptr session =
      HTTP_Session_Factory::create(host, port, ssl, "backupd", type, params, false, 120, 300, 120, flags);
  if (!session) return session;
  secure_string host_key = Host_Manager::instance()->access_key();
  if (host_key.empty()) host_key = key;
  if (!host_key.empty()) session->headers().put(HTTP_HEAD_X_ACCESS_KEY, host_key, true);
  return session;
}
