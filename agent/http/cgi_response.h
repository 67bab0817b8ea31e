#ifndef AGENT_CGI_RESPONSE_H
#define AGENT_CGI_RESPONSE_H

#include <string>

#include "agent/http/http_headers.h"

/// The answer of one exchange with backupd. status() is the HTTP status of
/// the last answer, 0 when no answer was received (connection refused,
/// dropped, timed out, certificate refused); error() then says why. body()
/// is the raw body text; json_body() tells whether it parsed as JSON (set by
/// JSON_HTTP_Session). A value type.
class CGI_Response {
 public:
  int status() const { return status_; }
  const std::string& body() const { return body_; }
  const HTTP_Headers& headers() const { return headers_; }
  /// Transport failure text of the last exchange; empty when an answer came.
  const std::string& error() const { return error_; }
  /// True when the body was valid JSON (any kind: object, array, ...).
  bool json_body() const { return json_body_; }

  void clear() { *this = CGI_Response(); }

  // Filled by the session layer.
  void status(int s) { status_ = s; }
  std::string& mutable_body() { return body_; }
  HTTP_Headers& mutable_headers() { return headers_; }
  void error(const std::string& e) { error_ = e; }
  void json_body(bool j) { json_body_ = j; }

 private:
  int status_ = 0;
  std::string body_;
  HTTP_Headers headers_;
  std::string error_;
  bool json_body_ = false;
};

#endif
