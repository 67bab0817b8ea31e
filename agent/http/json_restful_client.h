#ifndef AGENT_JSON_RESTFUL_CLIENT_H
#define AGENT_JSON_RESTFUL_CLIENT_H

#include <string>

#include "agent/http/json_http_session.h"

/// A small REST client over a JSON_HTTP_Session: each call takes a path
/// (which may already carry a "?query"), makes one exchange and gives back
/// the status and the parsed JSON answer. Used for lookups such as
/// GET /d2/r/v2/pools/<uuid>.
///
/// Each call returns true when an answer came back (any status; check
/// `status` == 200); false when the client has no usable session or the
/// transport failed (`status` 0). `result` is null when the body is not
/// JSON. The access key travels as the session's header; put it there
/// (session.headers().put(HTTP_HEAD_X_ACCESS_KEY, key, true)) before
/// building the client.
/// Thread safety: as the session.
class JSON_RESTful_Client {
 public:
  explicit JSON_RESTful_Client(const JSON_HTTP_Session& session) : session_(session) {}
  explicit JSON_RESTful_Client(HTTP_Session_Ptr session) : session_(std::move(session), 5, 300) {}

  explicit operator bool() const { return static_cast<bool>(session_); }
  JSON_HTTP_Session& session() { return session_; }

  bool get(const std::string& path, int& status, json_value& result);
  bool post(const std::string& path, const json_value& body, int& status, json_value& result);
  bool put(const std::string& path, const json_value& body, int& status, json_value& result);
  bool delete_(const std::string& path, int& status, json_value& result);

 private:
  bool call(HTTP_Method method, const std::string& path, const json_value* body, int& status, json_value& result);

  JSON_HTTP_Session session_;
};

#endif
