#include "backint_catalog/backint_catalog_helper.h"

#include <ace/Log_Msg.h>

#include "agent/http/retrying_json_session.h"
#include "common/precondition.h"

namespace sap_hana {

namespace {

const char* const kJobPath = "/d2/r/hana/backint/job";
const char* const kFilePath = "/d2/r/hana/backint/file";
const int kMaxRetries = 3;

// The answer as logged in failure messages: its JSON text, or the raw body
// when it was not JSON.
std::string answer_text(const CGI_Response& response, const json_value& result) {
  return response.json_body() ? result.dump() : response.body();
}

}  // namespace

bool Backint_Catalog_helper::init(const JSON_HTTP_Session& session) {
  if (!session) return false;
  session_ = session;
  return true;
}

bool Backint_Catalog_helper::request(HTTP_Method method, const HTTP_Request& req, const json_value* body,
                                     bool want_object, CGI_Response& response, json_value& result) {
  if (!session_) {
    ACE_ERROR((LM_EMERGENCY,
               "Unexpected error in /builds/7/rpm/src/backup/hana/common/backint_catalog_helper:%d, session_is NULL!\n",
               __LINE__));
    return false;
  }
  // Every failure is retried here, 4xx included: the catalog's callers
  // count on the same number of attempts whatever the answer.
  Retry_Policy policy;
  policy.retries = kMaxRetries;
  policy.retry_client_errors = true;
  policy.want_object = want_object;
  policy.file = __FILE__;
  policy.line = __LINE__;
  return Retrying_JSON_Session(session_, policy).exchange(method, req, body, response, result);
}

bool Backint_Catalog_helper::post_job(Backint_Backup_Job_Info& job, bool check_exist) {
  json_value body = json_value::object();
  job >> body;
  body["check_exist"] = check_exist;
  HTTP_Request req(HTTP_POST, kJobPath, false);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_POST, req, &body, check_exist, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to post request to add backint job, status %d\n", response.status()));
    return false;
  }
  if (!check_exist) return true;
  try {
    Backint_Backup_Job_Info stored = job;
    stored << result;
    job = std::move(stored);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to read the backint job backupd stored, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::add_job(const Backint_Backup_Job_Info& job) {
  Backint_Backup_Job_Info copy = job;
  return post_job(copy, false);
}

bool Backint_Catalog_helper::check_and_add_job(Backint_Backup_Job_Info& job) { return post_job(job, true); }

bool Backint_Catalog_helper::get_job(const std::string& uuid, Backint_Backup_Job_Info& job) {
  const char* job_uuid = uuid.c_str();
  HANA_REQUIRE_NONEMPTY(job_uuid, false);
  return get_job_req(HTTP_Query().add("job_uuid", uuid).str(), job);
}

bool Backint_Catalog_helper::get_job(const std::string& landscape, std::uint64_t database_backup_id,
                                     Backint_Backup_Job_Info& job) {
  const char* landscape_id = landscape.c_str();
  HANA_REQUIRE_NONEMPTY(landscape_id, false);
  return get_job_req(HTTP_Query().add("landscape_id", landscape).add("database_backup_id", database_backup_id).str(),
                     job);
}

bool Backint_Catalog_helper::get_job_req(const std::string& query, Backint_Backup_Job_Info& job) {
  HTTP_Request req(HTTP_GET, kJobPath, false);
  req.query_string(query);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_GET, req, nullptr, true, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to get backint job, status %d, respond is '%s'\n", response.status(),
               answer_text(response, result).c_str()));
    return false;
  }
  try {
    Backint_Backup_Job_Info found = job;
    found << result;
    job = std::move(found);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to get backint job, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::update_job_database_backup_id(const std::string& uuid, std::uint64_t database_backup_id) {
  const char* job_uuid = uuid.c_str();
  HANA_REQUIRE_NONEMPTY(job_uuid, false);
  Backint_Backup_Job_Info job;
  job.uuid = uuid;
  job.database_backup_id = database_backup_id;
  return update_job_req(job);
}

bool Backint_Catalog_helper::update_job_req(const Backint_Backup_Job_Info& job) {
  json_value body = json_value::object();
  job >> body;
  HTTP_Request req(HTTP_PUT, kJobPath, false);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_PUT, req, &body, false, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to update backint job, status %d, message = '%s'\n", response.status(),
               answer_text(response, result).c_str()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::remove_job(const std::string& uuid) {
  const char* job_uuid = uuid.c_str();
  HANA_REQUIRE_NONEMPTY(job_uuid, false);
  HTTP_Request req(HTTP_DELETE, kJobPath, false);
  req.add_query("job_uuid", uuid);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_DELETE, req, nullptr, false, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to remove backint backup job, status %d\n", response.status()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::add_file(const std::string& job_uuid, const Backup_File_Info& file) {
  return add_files(job_uuid, Backup_File_Infos{file});
}

bool Backint_Catalog_helper::add_files(const std::string& uuid, const Backup_File_Infos& files) {
  const char* job_uuid = uuid.c_str();
  HANA_REQUIRE_NONEMPTY(job_uuid, false);
  if (files.empty()) {
    ACE_ERROR((LM_ERROR, "Lack of file list\n"));
    return false;
  }
  json_value body = json_value::object();
  body["job_uuid"] = uuid;
  json_value& list = body["files"] = json_value::array();
  for (const auto& f : files) {
    json_value item = json_value::object();
    f >> item;
    list.push_back(std::move(item));
  }
  HTTP_Request req(HTTP_POST, kFilePath, false);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_POST, req, &body, false, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to post request to add backint file, status %d\n", response.status()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::get_files(const std::string& landscape_id, const std::string& database,
                                       const std::string& filename, std::uint64_t& total, Backup_File_Infos& files,
                                       std::uint64_t limit, std::uint64_t offset) {
  HTTP_Query q;
  q.add("limit", limit).add("offset", offset);
  if (!landscape_id.empty()) q.add("landscape_id", landscape_id);
  if (!database.empty()) q.add("database", database);
  if (!filename.empty()) q.add("filename", filename);
  return get_file_req(q.str(), total, files);
}

bool Backint_Catalog_helper::get_file_by_ebid(const std::string& extern_backup_id, Backup_File_Info& file) {
  const char* ebid = extern_backup_id.c_str();
  HANA_REQUIRE_NONEMPTY(ebid, false);
  std::uint64_t total = 0;
  Backup_File_Infos rows;
  if (!get_file_req(HTTP_Query().add("extern_backup_id", extern_backup_id).str(), total, rows) || rows.empty())
    return false;
  file = rows.back();
  return true;
}

bool Backint_Catalog_helper::get_job_files(const std::string& uuid, Backup_File_Infos& files) {
  const char* job_uuid = uuid.c_str();
  HANA_REQUIRE_NONEMPTY(job_uuid, false);
  std::uint64_t total = 0;
  const std::size_t before = files.size();
  if (!get_file_req(HTTP_Query().add("uuid", uuid).str(), total, files)) return false;
  return files.size() > before;
}

bool Backint_Catalog_helper::get_file_req(const std::string& query, std::uint64_t& total, Backup_File_Infos& files) {
  const char* query_string = query.c_str();
  HANA_REQUIRE_NONEMPTY(query_string, false);
  HTTP_Request req(HTTP_GET, kFilePath, false);
  req.query_string(query);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_GET, req, nullptr, true, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to get backint backup files, status %d, respond '%s'\n", response.status(),
               answer_text(response, result).c_str()));
    return false;
  }
  try {
    // Check the whole answer before touching the caller's list and total.
    const json_value& rows = object_get_array_or_throw(result, "rows");
    std::uint64_t count = object_get_uint64_or_throw(result, "total");
    Backup_File_Infos read;
    Array_to_Backup_File_Info(rows, read);
    total = count;
    files.insert(files.end(), read.begin(), read.end());
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to get backint backup files, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Backint_Catalog_helper::remove_file(const std::string& extern_backup_id) {
  const char* ebid = extern_backup_id.c_str();
  HANA_REQUIRE_NONEMPTY(ebid, false);
  HTTP_Request req(HTTP_DELETE, kFilePath, false);
  req.add_query("extern_backup_id", extern_backup_id);
  CGI_Response response;
  json_value result;
  if (!request(HTTP_DELETE, req, nullptr, false, response, result)) {
    ACE_ERROR((LM_ERROR, "Failed to remove backint backup file, status %d\n", response.status()));
    return false;
  }
  return true;
}

}  // namespace sap_hana
