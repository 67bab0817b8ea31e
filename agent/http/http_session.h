#ifndef AGENT_HTTP_SESSION_H
#define AGENT_HTTP_SESSION_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "agent/http/cgi_response.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_request.h"

/// One HTTP/1.1 connection to backupd (libcurl easy handle, reused, so
/// consecutive requests share one keep-alive connection; curl re-opens it
/// transparently when the server closed it between requests).
///
/// With `ssl` the connection is HTTPS with verification of the peer's
/// certificate and host name against `ca_file` (empty: the system's CA
/// store), unless `insecure` is set. Time-outs in seconds, 0 meaning none:
/// `connect_timeout` for the TCP and TLS set-up, `transfer_timeout` for a
/// whole exchange, `low_speed_time` for a stall (less than 1 byte/s).
///
/// Session headers (headers()) go out with every request; a request header
/// of the same name takes precedence. Header values, and so the access key,
/// are never logged by this layer.
///
/// Thread safety: send() is serialised by an internal mutex, so a session
/// may be shared; headers() must be filled before the session is shared.
/// Made by HTTP_Session_Factory / Common_HTTP_Session_Factory; held through
/// HTTP_Session_Ptr.
class HTTP_Session {
 public:
  struct Options {
    std::string host;
    std::uint16_t port = 0;
    bool ssl = false;
    std::string name;       ///< shown in log lines; "backupd" when empty
    std::string ca_file;    ///< PEM bundle to verify the server with (ssl)
    bool insecure = false;  ///< skip certificate verification (never by default)
    long connect_timeout = 120;
    long transfer_timeout = 120;
    long low_speed_time = 120;
  };

  /// Creates the easy handle; check ok() (the factories do).
  explicit HTTP_Session(const Options& options);
  ~HTTP_Session();
  HTTP_Session(const HTTP_Session&) = delete;
  HTTP_Session& operator=(const HTTP_Session&) = delete;

  bool ok() const { return curl_ != nullptr; }

  /// Sends `request` and fills `response` (cleared first). True when an HTTP
  /// answer came back, whatever its status; false on a transport failure,
  /// with response.status() 0 and response.error() set (also logged at
  /// debug priority, without headers).
  bool send(const HTTP_Request& request, CGI_Response& response);

  HTTP_Headers& headers() { return headers_; }
  const HTTP_Headers& headers() const { return headers_; }
  const Options& options() const { return options_; }
  /// "http://host:port" or "https://host:port" (IPv6 hosts bracketed).
  std::string base_url() const;

 private:
  Options options_;
  HTTP_Headers headers_;
  void* curl_ = nullptr;  // CURL*; kept opaque so callers need no curl headers
  std::mutex mutex_;
};

using HTTP_Session_Ptr = std::shared_ptr<HTTP_Session>;

#endif
