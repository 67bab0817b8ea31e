#include "agent/backupd/read_first_catalog.h"

#include <ace/Log_Msg.h>

#include "agent/http/http_session_factory.h"
#include "agent/http/retrying_json_session.h"

namespace {

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
  Retry_Policy policy;
  policy.retries = retries;
  policy.time_limit = timeout;
  policy.file = __FILE__;
  policy.line = __LINE__;
  Retrying_JSON_Session client(JSON_HTTP_Session(session, retries, timeout), policy);
  int status = 0;
  json_value answer;
  if (client.exchange(HTTP_GET, path, nullptr, status, answer)) {
    json_value record;
    if (!first_record(answer, record)) {
      ACE_ERROR((LM_ERROR, "Failed to read catalog '%s': the answer holds no record\n", path.c_str()));
      return false;
    }
    value = std::move(record);
    return true;
  }
  ACE_ERROR((LM_ERROR, "Failed to read catalog '%s', status %d\n", path.c_str(), status));
  return false;
}

bool read_first_catalog(const std::string& path, json_value& value, int retries, int timeout) {
  return read_first_catalog(Common_HTTP_Session_Factory::create(HTTP_SESSION_TYPE_JSON, nullptr, 0), path, value,
                            retries, timeout);
}
