#ifndef AGENT_READ_FIRST_CATALOG_H
#define AGENT_READ_FIRST_CATALOG_H

#include <string>

#include "agent/http/http_session.h"
#include "agent/json/json_access.h"

/// GETs `path` (with its "?query", already encoded) from the agent's
/// backupd on a session of Common_HTTP_Session_Factory (so with the host's
/// access key) and gives back the first record of the answer in `value`:
///   - an answer that is an object with a "rows" array: its first element;
///   - an answer that is an array: its first element;
///   - any other object: the object itself.
/// Through Retrying_JSON_Session: a transport failure or a 5xx answer is
/// retried up to `retries` times (waits from Exponential_Backoff_Iterator(1,
/// retries, 5, true) through backoff_sleep, each logged as "Retry(%d) ...");
/// a 4xx answer is final; `timeout` seconds bound the whole call (-1: no
/// bound beyond the session's own time-outs). A 200 answer that is not
/// JSON, or holds no record, is not retried. False on failure (logged
/// at error priority with the path and status; `value` unchanged).
/// Callers pass 10 and -1.
bool read_first_catalog(const std::string& path, json_value& value, int retries, int timeout);

/// The same over a given session (tests, callers that already hold one).
bool read_first_catalog(const HTTP_Session_Ptr& session, const std::string& path, json_value& value, int retries,
                        int timeout);

#endif
