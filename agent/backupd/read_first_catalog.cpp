#include "agent/backupd/read_first_catalog.h"

#include <time.h>

#include <ace/Log_Msg.h>

#include "agent/base/exponential_backoff_iterator.h"
#include "agent/http/http_session_factory.h"
#include "agent/http/json_restful_client.h"

namespace {

double now_seconds() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The first record of a catalog answer; false when it holds none.
bool first_record(const json_value& answer, json_value& record) {
  if (answer.is_object()) {
    auto rows = answer.find("rows");
    if (rows != answer.end() && rows->is_array()) {
      if (rows->empty()) return false;
      record = rows->front();
      return true;
    }
    record = answer;
    return true;
  }
  if (answer.is_array() && !answer.empty()) {
    record = answer.front();
    return true;
  }
  return false;
}

}  // namespace

bool read_first_catalog(const HTTP_Session_Ptr& session, const std::string& path, json_value& value, int retries,
                        int timeout) {
  if (!session) {
    ACE_ERROR((LM_ERROR, "Failed to read catalog '%s': no session to backupd\n", path.c_str()));
    return false;
  }
  JSON_RESTful_Client client(JSON_HTTP_Session(session, retries, timeout));
  const double deadline = timeout < 0 ? -1.0 : now_seconds() + timeout;
  Exponential_Backoff_Iterator backoff(1, retries > 0 ? static_cast<std::uint32_t>(retries) : 0, 5, true);
  const Exponential_Backoff_Iterator end;
  int status = 0;
  for (;;) {
    json_value answer;
    bool exchanged = client.get(path, status, answer);
    if (exchanged && status == 200) {
      json_value record;
      if (!first_record(answer, record)) {
        ACE_ERROR((LM_ERROR, "Failed to read catalog '%s': the answer holds no record\n", path.c_str()));
        return false;
      }
      value = std::move(record);
      return true;
    }
    if (backoff == end || (deadline >= 0 && now_seconds() + *backoff > deadline)) break;
    backoff_sleep(*backoff);
    ++backoff;
  }
  ACE_ERROR((LM_ERROR, "Failed to read catalog '%s', status %d\n", path.c_str(), status));
  return false;
}

bool read_first_catalog(const std::string& path, json_value& value, int retries, int timeout) {
  return read_first_catalog(Common_HTTP_Session_Factory::create(HTTP_SESSION_TYPE_JSON, nullptr, 0), path, value,
                            retries, timeout);
}
