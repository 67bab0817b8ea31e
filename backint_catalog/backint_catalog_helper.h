#ifndef SAP_HANA_BACKINT_CATALOG_HELPER_H
#define SAP_HANA_BACKINT_CATALOG_HELPER_H

#include <cstdint>
#include <string>

#include "agent/http/cgi_response.h"
#include "agent/http/http_request.h"
#include "agent/http/json_http_session.h"
#include "backint_catalog/backint_backup_file.h"
#include "backint_catalog/backint_job.h"

namespace sap_hana {

/// Client of backupd's backint catalog: job records under
/// "/d2/r/hana/backint/job" and file records under "/d2/r/hana/backint/file".
///
/// It holds one JSON_HTTP_Session (`session_`, empty until init). Every
/// operation is one request through Retrying_JSON_Session, retried on
/// failure (transport failure, any status other than 200, 4xx included, or
/// a body that is not an object where one is wanted) at most 3 times with
/// waits of Exponential_Backoff_Iterator(1, 3, 5, true) slept through
/// backoff_sleep, each retry announced at information priority as
/// "Retry(%d) <file>:<line> at %u second(s) later.\n". After the last
/// attempt the operation's failure message is logged at error priority and
/// false returned. A 200 answer whose body has the wrong shape is not
/// retried. Empty key arguments are refused before any request with the
/// emergency "Unexpected error in %N:%l, <arg> is NULL or \"\":\n%?\n".
/// Nothing is rolled back across operations.
///
/// The access key travels on the session's headers; whoever creates the
/// session puts it there. Not thread-safe: one thread at a time, and the
/// shared session is not used concurrently by its owner.
class Backint_Catalog_helper {
 public:
  Backint_Catalog_helper() : session_(HTTP_Session_Ptr(), 5, 300) {}

  /// Shares `session`'s connection. False when it is not usable.
  bool init(const JSON_HTTP_Session& session);

  /// POST job with "check_exist": false; status 200.
  bool add_job(const Backint_Backup_Job_Info& job);
  /// POST job with "check_exist": true; the server's answer (the stored job,
  /// existing or new) is read back into `job`.
  bool check_and_add_job(Backint_Backup_Job_Info& job);
  /// GET by "job_uuid".
  bool get_job(const std::string& job_uuid, Backint_Backup_Job_Info& job);
  /// GET by "landscape_id" and "database_backup_id".
  bool get_job(const std::string& landscape_id, std::uint64_t database_backup_id, Backint_Backup_Job_Info& job);
  /// GET with an encoded `query`; the object answer is read into `job`.
  bool get_job_req(const std::string& query, Backint_Backup_Job_Info& job);
  /// PUT of a record holding only the uuid and the backup id.
  bool update_job_database_backup_id(const std::string& job_uuid, std::uint64_t database_backup_id);
  /// PUT of the whole record.
  bool update_job_req(const Backint_Backup_Job_Info& job);
  /// DELETE by "job_uuid".
  bool remove_job(const std::string& job_uuid);

  bool add_file(const std::string& job_uuid, const Backup_File_Info& file);
  /// POST {"job_uuid": ..., "files": [...]} in list order; an empty list
  /// logs "Lack of file list\n" and fails.
  bool add_files(const std::string& job_uuid, const Backup_File_Infos& files);
  /// GET with "limit", "offset", then "landscape_id", "database",
  /// "filename" where not empty. Rows are appended to `files`.
  bool get_files(const std::string& landscape_id, const std::string& database, const std::string& filename,
                 std::uint64_t& total, Backup_File_Infos& files, std::uint64_t limit, std::uint64_t offset);
  /// GET by "extern_backup_id"; needs at least one row, the last one is the
  /// result. No row: false without an error message (not found).
  bool get_file_by_ebid(const std::string& ebid, Backup_File_Info& file);
  /// GET by "uuid" = job UUID; needs at least one row; rows appended.
  bool get_job_files(const std::string& job_uuid, Backup_File_Infos& files);
  /// GET with an encoded query; the answer object must hold "rows" (array)
  /// and "total" (integer). `total` is set and the rows appended.
  bool get_file_req(const std::string& query, std::uint64_t& total, Backup_File_Infos& files);
  /// DELETE by "extern_backup_id".
  bool remove_file(const std::string& ebid);

 private:
  /// One request with retries. `want_object`: a 200 answer counts only when
  /// its body is a JSON object. False after the last failed attempt, with
  /// `response`/`result` from that attempt; the caller logs its message.
  bool request(HTTP_Method method, const HTTP_Request& req, const json_value* body, bool want_object,
               CGI_Response& response, json_value& result);
  bool post_job(Backint_Backup_Job_Info& job, bool check_exist);

  JSON_HTTP_Session session_;
};

}  // namespace sap_hana

#endif
