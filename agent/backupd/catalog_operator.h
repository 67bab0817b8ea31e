#ifndef AGENT_CATALOG_OPERATOR_H
#define AGENT_CATALOG_OPERATOR_H

#include <string>

#include "agent/backupset/backup_set.h"
#include "agent/http/http_session.h"
#include "agent/http/retrying_json_session.h"
#include "agent/json/json_access.h"

/// Reads and writes backupd's backup-set catalog: named views of a catalog
/// module, and the commit of a finished backup set.
///
/// Wire form (the access key travels on the session's headers):
///   get_view: POST /d2/r/v2/catalogs/<catalog>/views/<view>, body = the
///             parameters (an object); the answer is the view's JSON value.
///   commit:   POST /d2/r/v2/sets?replace=true|false, body = set.to_json().
///
/// Every request goes through Retrying_JSON_Session: a transport failure or
/// a 5xx answer is retried (each retry logged at information priority as
/// "Retry(%d) <file>:<line> at %u second(s) later.\n"); a 4xx answer is
/// final at once. Failures are logged at error priority with the view or
/// set and the last status. Views are reads and commits are idempotent by
/// set UUID (see commit), so a retry never duplicates anything.
///
/// One operator per thread; it holds its own session.
class Catalog_Operator {
 public:
  /// A session to the agent's backupd (Common_HTTP_Session_Factory, so the
  /// host's access key is on it). `session_type` -1 means the JSON session
  /// (HTTP_SESSION_TYPE_JSON); other values are passed to the factory.
  /// `max_seconds_retry` > 0: requests are retried for up to that many
  /// seconds; otherwise 3 times. A session that cannot be made is logged
  /// ("Failed to connect to backupd") and makes every call fail.
  Catalog_Operator(int session_type, int max_seconds_retry);

  /// Over a given session (tests, callers that hold a session). `sleeper`
  /// null: backoff_sleep; `clock` null: CLOCK_MONOTONIC (the retry budget is
  /// measured on it).
  Catalog_Operator(HTTP_Session_Ptr session, int max_seconds_retry, Retry_Sleeper sleeper = nullptr,
                   Retry_Clock clock = nullptr);

  Catalog_Operator(const Catalog_Operator&) = delete;
  Catalog_Operator& operator=(const Catalog_Operator&) = delete;

  /// Reads view `view` of catalog module `catalog` ("hana") with the given
  /// parameters (an object; null counts as {}). True with the answer in
  /// `value` on status 200 with a JSON body; `value` is unchanged on
  /// failure. What a view answers is the view's: an object, or an object
  /// with "rows".
  bool get_view(const std::string& catalog, const std::string& view, const json_value& parameters, json_value& value);

  /// Commits `set` (its to_json() form). `replace` true: a set with the same
  /// UUID already in the catalog is replaced, so a commit retried after a
  /// lost answer is harmless; false: the server refuses a different set
  /// under a UUID it already holds (409, final), an identical one is
  /// accepted again. True on status 200. A set without a UUID is refused
  /// before anything is sent.
  bool commit(const Backup_Set& set, bool replace);

 private:
  bool exchange(const std::string& path, const json_value& body, int& status, json_value& answer);

  JSON_HTTP_Session session_;
  int max_seconds_retry_;
  Retry_Sleeper sleeper_;
  Retry_Clock clock_;
};

#endif
