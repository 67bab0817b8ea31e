#ifndef AGENT_JSON_HTTP_SESSION_H
#define AGENT_JSON_HTTP_SESSION_H

#include "agent/http/cgi_response.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_request.h"
#include "agent/http/http_session.h"
#include "agent/json/json_access.h"

/// JSON exchanges over a shared HTTP_Session. Copies share the underlying
/// session (and its connection and headers).
///
/// Every operation makes exactly one exchange: it sets the request's method,
/// sends a JSON body where it has one ("Content-Type: application/json"),
/// and returns true when an HTTP answer came back, whatever its status (read
/// it from response.status()); false when the session is empty or the
/// transport failed (response.status() is then 0). `result` receives the
/// parsed answer when the body is valid JSON; an empty or non-JSON body
/// leaves `result` null and response.json_body() false, so a caller that
/// wants an object checks result.is_object(). Retrying is the caller's
/// business: `retries` and `retry_timeout` (seconds) are carried for callers
/// that pace their own retries by them (retries(), retry_timeout()).
///
/// Thread safety: as HTTP_Session (exchanges serialised).
class JSON_HTTP_Session {
 public:
  /// An empty (unusable) session.
  explicit JSON_HTTP_Session(int retries = 5, int retry_timeout = 300)
      : retries_(retries), retry_timeout_(retry_timeout) {}
  JSON_HTTP_Session(HTTP_Session_Ptr session, int retries, int retry_timeout)
      : session_(std::move(session)), retries_(retries), retry_timeout_(retry_timeout) {}

  /// Usable: holds a session.
  explicit operator bool() const { return session_ != nullptr; }

  /// Replaces the underlying session (empty pointer: makes this unusable).
  void reset(HTTP_Session_Ptr session = HTTP_Session_Ptr()) { session_ = std::move(session); }
  const HTTP_Session_Ptr& session() const { return session_; }

  /// The session-level headers. REQUIRES: the session is usable.
  HTTP_Headers& headers() { return session_->headers(); }

  bool get(const HTTP_Request& request, CGI_Response& response, json_value& result);
  bool post(const HTTP_Request& request, const json_value& body, CGI_Response& response, json_value& result);
  bool put(const HTTP_Request& request, const json_value& body, CGI_Response& response, json_value& result);
  bool delete_(const HTTP_Request& request, CGI_Response& response, json_value& result);

  int retries() const { return retries_; }
  int retry_timeout() const { return retry_timeout_; }

 private:
  bool exchange(HTTP_Method method, const HTTP_Request& request, const json_value* body, CGI_Response& response,
                json_value& result);

  HTTP_Session_Ptr session_;
  int retries_;
  int retry_timeout_;
};

#endif
