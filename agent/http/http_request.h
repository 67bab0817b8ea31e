#ifndef AGENT_HTTP_REQUEST_H
#define AGENT_HTTP_REQUEST_H

#include <cstdint>
#include <string>

#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"

enum HTTP_Method { HTTP_GET, HTTP_POST, HTTP_PUT, HTTP_DELETE, HTTP_HEAD_METHOD };

/// "GET", "POST", "PUT", "DELETE", "HEAD".
const char* http_method_string(HTTP_Method method);

/// One request to backupd: method, path (`uri`), query string, headers and
/// body. The target sent is uri, then "?" and the query string when the
/// query is not empty (a uri that already ends in "?" or holds a query is
/// extended with "&" as needed).
///
///   HTTP_Request req(HTTP_GET, "/d2/r/hana/backint/job", false);
///   req.add_query("job_uuid", uuid);            // percent-encoded
///   req.headers().put(HTTP_HEAD_X_ACCESS_KEY, key, true);
///
/// `close` asks the server to close the connection after the answer; false
/// keeps the session's connection alive for the next request.
/// A value type; copies are independent.
class HTTP_Request {
 public:
  HTTP_Request() = default;
  HTTP_Request(HTTP_Method method, const std::string& uri, bool close = false)
      : method_(method), uri_(uri), close_(close) {}

  HTTP_Method method() const { return method_; }
  void method(HTTP_Method m) { method_ = m; }

  const std::string& uri() const { return uri_; }
  void uri(const std::string& u) { uri_ = u; }

  /// The encoded query string, without "?".
  const std::string& query_string() const { return query_; }
  void query_string(const std::string& encoded) { query_ = encoded; }
  void query_string(const HTTP_Query& q) { query_ = q.str(); }
  /// Appends name=value (both percent-encoded), joined by "&".
  HTTP_Request& add_query(const std::string& name, const std::string& value);
  HTTP_Request& add_query(const std::string& name, std::uint64_t value);

  /// Path and query as sent on the request line.
  std::string target() const;

  HTTP_Headers& headers() { return headers_; }
  const HTTP_Headers& headers() const { return headers_; }

  const std::string& body() const { return body_; }
  void body(const std::string& b, const std::string& content_type = "application/json") {
    body_ = b;
    content_type_ = content_type;
  }
  const std::string& content_type() const { return content_type_; }

  bool close() const { return close_; }

 private:
  HTTP_Method method_ = HTTP_GET;
  std::string uri_;
  std::string query_;
  HTTP_Headers headers_;
  std::string body_;
  std::string content_type_;
  bool close_ = false;
};

#endif
