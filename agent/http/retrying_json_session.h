#ifndef AGENT_RETRYING_JSON_SESSION_H
#define AGENT_RETRYING_JSON_SESSION_H

#include <functional>
#include <string>

#include "agent/http/cgi_response.h"
#include "agent/http/http_request.h"
#include "agent/http/json_http_session.h"

/// How a Retrying_JSON_Session retries one request.
struct Retry_Policy {
  /// Attempts after the first one. Waits come from
  /// Exponential_Backoff_Iterator(1, retries, 5, jitter).
  int retries = 3;
  bool jitter = true;
  /// Seconds that bound the whole call; no retry is started whose wait would
  /// end past it. -1: no bound beyond the session's own time-outs.
  int time_limit = -1;
  /// A 4xx answer is final unless this is set (callers whose server answers
  /// a transient 404 while a record is being written).
  bool retry_client_errors = false;
  /// A 200 answer counts only when its body is a JSON object; any other
  /// 200 answer is retried.
  bool want_object = false;
  /// The request site named in the retry log lines ("%N:%l" of the caller):
  /// pass __FILE__ and __LINE__.
  const char* file = "";
  int line = 0;
};

/// Sleeps the given number of seconds between attempts.
using Retry_Sleeper = std::function<void(unsigned seconds)>;
/// Monotonic time in seconds, read for Retry_Policy::time_limit.
using Retry_Clock = std::function<double()>;

/// Retry decorator over a JSON_HTTP_Session: one exchange, repeated while
/// it fails in a way worth repeating.
///
///   - HTTP status 200 (with a JSON object when want_object): success.
///   - 4xx: final at once (unless retry_client_errors).
///   - transport failure (status 0), 5xx, any other status, a 200 without
///     the wanted object: retried.
///
/// Before each retry it logs, at information priority,
/// "Retry(<n>) <file>:<line> at <w> second(s) later.\n" and calls the
/// sleeper with <w>. The answer of the last attempt stays in `response` and
/// `result` for the caller to report. Nothing else is logged: the caller
/// owns its failure message.
///
/// Copies share the underlying session. Not thread-safe beyond the session.
class Retrying_JSON_Session {
 public:
  /// `sleeper` null: backoff_sleep. `clock` null: CLOCK_MONOTONIC.
  explicit Retrying_JSON_Session(JSON_HTTP_Session session, Retry_Policy policy = Retry_Policy(),
                                 Retry_Sleeper sleeper = nullptr, Retry_Clock clock = nullptr);

  explicit operator bool() const { return static_cast<bool>(session_); }
  JSON_HTTP_Session& session() { return session_; }
  const Retry_Policy& policy() const { return policy_; }
  Retry_Policy& policy() { return policy_; }

  /// True on success (see above). `body` is null for GET and DELETE.
  bool exchange(HTTP_Method method, const HTTP_Request& request, const json_value* body, CGI_Response& response,
                json_value& result);

  /// `path` may carry a "?query" (already encoded). `status` is the last
  /// answer's status, 0 after a transport failure.
  bool exchange(HTTP_Method method, const std::string& path, const json_value* body, int& status, json_value& result);

 private:
  bool attempt_ok(bool exchanged, const CGI_Response& response, const json_value& result) const;

  JSON_HTTP_Session session_;
  Retry_Policy policy_;
  Retry_Sleeper sleeper_;
  Retry_Clock clock_;
};

#endif
