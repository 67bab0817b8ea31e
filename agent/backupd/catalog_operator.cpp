#include "agent/backupd/catalog_operator.h"

#include <limits>

#include <ace/Log_Msg.h>

#include "agent/http/http_query.h"
#include "agent/http/http_session_factory.h"

namespace {

const char* const kViewsPrefix = "/d2/r/v2/catalogs/";
const char* const kSetsPath = "/d2/r/v2/sets";

HTTP_Session_Ptr make_session(int session_type) {
  HTTP_Session_Ptr session =
      Common_HTTP_Session_Factory::create(session_type == -1 ? HTTP_SESSION_TYPE_JSON : session_type, nullptr, 0);
  if (!session) ACE_ERROR((LM_ERROR, "Failed to connect to backupd\n"));
  return session;
}

}  // namespace

Catalog_Operator::Catalog_Operator(int session_type, int max_seconds_retry)
    : Catalog_Operator(make_session(session_type), max_seconds_retry) {}

Catalog_Operator::Catalog_Operator(HTTP_Session_Ptr session, int max_seconds_retry, Retry_Sleeper sleeper,
                                   Retry_Clock clock)
    : session_(std::move(session), 3, max_seconds_retry > 0 ? max_seconds_retry : 300),
      max_seconds_retry_(max_seconds_retry),
      sleeper_(std::move(sleeper)),
      clock_(std::move(clock)) {}

bool Catalog_Operator::exchange(const std::string& path, const json_value& body, int& status, json_value& answer) {
  status = 0;
  if (!session_) return false;
  Retry_Policy policy;
  if (max_seconds_retry_ > 0) {
    // A job's retry budget is a time: the count only has to outlast it.
    policy.retries = std::numeric_limits<int>::max();
    policy.time_limit = max_seconds_retry_;
  }
  policy.file = __FILE__;
  policy.line = __LINE__;
  Retrying_JSON_Session client(session_, policy, sleeper_, clock_);
  return client.exchange(HTTP_POST, path, &body, status, answer);
}

bool Catalog_Operator::get_view(const std::string& catalog, const std::string& view, const json_value& parameters,
                                json_value& value) {
  if (catalog.empty() || view.empty() || catalog.find('/') != std::string::npos ||
      view.find('/') != std::string::npos) {
    ACE_ERROR((LM_ERROR, "Failed to get view '%s' of catalog '%s': invalid name\n", view.c_str(), catalog.c_str()));
    return false;
  }
  if (!parameters.is_null() && !parameters.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get view '%s' of catalog '%s': the parameters are not an object\n", view.c_str(),
               catalog.c_str()));
    return false;
  }
  const json_value body = parameters.is_null() ? json_value::object() : parameters;
  int status = 0;
  json_value answer;
  if (!exchange(kViewsPrefix + http_url_encode(catalog) + "/views/" + http_url_encode(view), body, status, answer) ||
      answer.is_null()) {
    ACE_ERROR(
        (LM_ERROR, "Failed to get view '%s' of catalog '%s', status %d\n", view.c_str(), catalog.c_str(), status));
    return false;
  }
  value = std::move(answer);
  return true;
}

bool Catalog_Operator::commit(const Backup_Set& set, bool replace) {
  if (set.uuid.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to commit backup set: it has no uuid\n"));
    return false;
  }
  const std::string path = std::string(kSetsPath) + "?" + HTTP_Query().add("replace", replace ? "true" : "false").str();
  int status = 0;
  json_value answer;
  if (!exchange(path, set.to_json(), status, answer)) {
    std::string reason;
    if (answer.is_object()) object_get(answer, "error", reason);
    ACE_ERROR((LM_ERROR, "Failed to commit backup set %s, status %d%s%s\n", set.uuid.c_str(), status,
               reason.empty() ? "" : ", ", reason.c_str()));
    return false;
  }
  ACE_DEBUG((LM_INFO, "Committed backup set %s\n", set.uuid.c_str()));
  return true;
}
