#include "agent/http/retrying_json_session.h"

#include <time.h>

#include <ace/Log_Msg.h>

#include "agent/base/exponential_backoff_iterator.h"

namespace {

double monotonic_seconds() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

Retrying_JSON_Session::Retrying_JSON_Session(JSON_HTTP_Session session, Retry_Policy policy, Retry_Sleeper sleeper,
                                             Retry_Clock clock)
    : session_(std::move(session)),
      policy_(policy),
      sleeper_(sleeper ? std::move(sleeper) : Retry_Sleeper(backoff_sleep)),
      clock_(clock ? std::move(clock) : Retry_Clock(monotonic_seconds)) {}

bool Retrying_JSON_Session::attempt_ok(bool exchanged, const CGI_Response& response, const json_value& result) const {
  return exchanged && response.status() == 200 && (!policy_.want_object || result.is_object());
}

bool Retrying_JSON_Session::exchange(HTTP_Method method, const HTTP_Request& request, const json_value* body,
                                     CGI_Response& response, json_value& result) {
  const double deadline = policy_.time_limit < 0 ? -1.0 : clock_() + policy_.time_limit;
  Exponential_Backoff_Iterator backoff(1, policy_.retries > 0 ? static_cast<std::uint32_t>(policy_.retries) : 0, 5,
                                       policy_.jitter);
  const Exponential_Backoff_Iterator end;
  for (int retry = 1;; ++retry) {
    bool exchanged = false;
    switch (method) {
      case HTTP_POST:
        exchanged = session_.post(request, body ? *body : json_value(), response, result);
        break;
      case HTTP_PUT:
        exchanged = session_.put(request, body ? *body : json_value(), response, result);
        break;
      case HTTP_DELETE:
        exchanged = session_.delete_(request, response, result);
        break;
      default:
        exchanged = session_.get(request, response, result);
        break;
    }
    if (attempt_ok(exchanged, response, result)) return true;
    const int status = response.status();
    if (exchanged && status >= 400 && status < 500 && !policy_.retry_client_errors) return false;
    if (!session_ || backoff == end) return false;
    const unsigned wait = *backoff;
    if (deadline >= 0 && clock_() + wait > deadline) return false;
    ACE_DEBUG((LM_INFO, "Retry(%d) %s:%d at %u second(s) later.\n", retry, policy_.file, policy_.line, wait));
    sleeper_(wait);
    ++backoff;
  }
}

bool Retrying_JSON_Session::exchange(HTTP_Method method, const std::string& path, const json_value* body, int& status,
                                     json_value& result) {
  HTTP_Request request(method, path, false);
  const std::size_t q = path.find('?');
  if (q != std::string::npos) {
    request.uri(path.substr(0, q));
    request.query_string(path.substr(q + 1));
  }
  CGI_Response response;
  const bool ok = exchange(method, request, body, response, result);
  status = response.status();
  return ok;
}
