#include "backint/backint_catalog_lookup.h"

#include <algorithm>
#include <tuple>

#include "agent/backupd/pool_utils.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"
#include "agent/http/retrying_json_session.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

const char* const kSetsSelectPath = "/d2/r/v2/sets/select";

}  // namespace

Backint_Catalog_Lookup::Backint_Catalog_Lookup(Backint_Protocol& protocol, Backint_Catalog_helper& catalog,
                                               JSON_HTTP_Session& session, const secure_string& access_key)
    : protocol_(protocol), catalog_(catalog), session_(session), access_key_(access_key) {}

void Backint_Catalog_Lookup::parse_backint_catalog_info(const Backup_File_Info& record,
                                                        Catalog_Backup_File_Info& info) {
  info.path = record.location;
  info.size = record.size;
  info.ebid = record.extern_backup_id;
  info.filename = record.storage_path;
  info.source_type = record.source_type;
  info.origin_path = record.origin_path;
  info.storage_path = record.storage_path;
  info.database_backup_id = record.database_backup_id;
  info.pool_uuid = record.pool_uuid;
  info.backup_time = iso8601_to_hana_format_date(record.backup_time.c_str());
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file_from_local(const std::string& ebid,
                                                                 Catalog_Backup_File_Info& info) {
  if (ebid.empty()) {
    protocol_.write_error("NULL", "Missing ebid to get catalog backup file from local.\n");
    return Lookup_Status::not_found("no EBID");
  }
  // The same request as get_file_by_ebid, but a failed request is told
  // apart from an unknown EBID.
  std::uint64_t total = 0;
  Backup_File_Infos rows;
  if (!catalog_.get_file_req(HTTP_Query().add("extern_backup_id", ebid).str(), total, rows))
    return Lookup_Status::failed("the backint catalog cannot be read");
  if (rows.empty()) return Lookup_Status::not_found();
  parse_backint_catalog_info(rows.back(), info);
  return Lookup_Status::found();
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file_from_backupd(const std::string& ebid,
                                                                   const std::string& pool_uuid,
                                                                   Catalog_Backup_File_Info& info) {
  if (ebid.empty()) {
    protocol_.write_error("NULL", "Missing ebid to get catalog backup file from backupd.\n");
    return Lookup_Status::not_found("no EBID");
  }
  HTTP_Query query;
  query.add("extern_backup_id", ebid);
  if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
  std::uint64_t total = 0;
  Catalog_Backup_File_Infos list;
  if (!get_backup_files_req(query.str(), total, list))
    return Lookup_Status::failed("the backup-set catalog cannot be read");
  if (list.empty()) return Lookup_Status::not_found();
  info = list.front();
  return Lookup_Status::found();
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file(const std::string& ebid, const std::string& pool_uuid,
                                                      Catalog_Backup_File_Info& info) {
  Lookup_Status local = get_backup_file_from_local(ebid, info);
  if (local.is_found()) return local;
  Lookup_Status sets = get_backup_file_from_backupd(ebid, pool_uuid, info);
  if (sets.is_found() || local.is_not_found()) return sets;
  return local;
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file(const std::string& database, const std::string& filename,
                                                      const std::string& pool_uuid, Catalog_Backup_File_Info& info) {
  Catalog_Backup_File_Info from_sets;
  Lookup_Status failure = Lookup_Status::not_found();
  if (filename.empty()) {
    protocol_.write_error("NULL", "Missing filename to get catalog backup file from backupd.\n");
  } else {
    HTTP_Query query;
    query.add("filename", filename).add("limit", "1");
    if (!database.empty()) query.add("database", database);
    if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
    std::uint64_t total = 0;
    Catalog_Backup_File_Infos list;
    if (!get_backup_files_req(query.str(), total, list))
      failure = Lookup_Status::failed("the backup-set catalog cannot be read");
    else if (!list.empty())
      from_sets = list.front();
  }

  Catalog_Backup_File_Info from_local;
  if (filename.empty()) {
    protocol_.write_error("NULL", "Missing filename to get catalog backup file from local.\n");
  } else {
    std::uint64_t total = 0;
    Backup_File_Infos records;
    if (!catalog_.get_files("", database, filename, total, records, 1, 0)) {
      failure = Lookup_Status::failed("the backint catalog cannot be read");
    } else if (total > 1) {
      // Several backups of that name: the newest one is meant, wherever the
      // server lists it.
      const std::uint64_t page = 100;
      records.clear();
      for (std::uint64_t offset = 0; offset < total; offset += page) {
        std::uint64_t seen = 0;
        if (!catalog_.get_files("", database, filename, seen, records, page, offset)) {
          failure = Lookup_Status::failed("the backint catalog cannot be read");
          records.clear();
          break;
        }
      }
      auto newest =
          std::max_element(records.begin(), records.end(), [](const Backup_File_Info& a, const Backup_File_Info& b) {
            return std::tie(a.database_backup_id, a.backup_time) < std::tie(b.database_backup_id, b.backup_time);
          });
      if (newest != records.end()) parse_backint_catalog_info(*newest, from_local);
    } else if (total > 0 && !records.empty()) {
      parse_backint_catalog_info(records.back(), from_local);
    }
  }

  const bool sets_found = !from_sets.ebid.empty();
  const bool local_found = !from_local.ebid.empty();
  if (sets_found && local_found)
    info = from_local.database_backup_id > from_sets.database_backup_id ? from_local : from_sets;
  else if (sets_found || local_found)
    info = sets_found ? from_sets : from_local;
  // With one catalog unread, the other's match may be the older backup.
  if (failure.is_failed()) return failure;
  return sets_found || local_found ? Lookup_Status::found() : Lookup_Status::not_found();
}

bool Backint_Catalog_Lookup::get_backup_files_from_backupd(const std::string& database, const std::string& filename,
                                                           const std::string& pool_uuid, std::uint64_t& total,
                                                           Catalog_Backup_File_Infos& list, std::uint64_t offset,
                                                           std::uint64_t limit) {
  list.clear();
  HTTP_Query query;
  if (!database.empty()) query.add("database", database);
  if (!filename.empty()) query.add("filename", filename);
  if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
  query.add("limit", limit).add("offset", offset);
  return get_backup_files_req(query.str(), total, list);
}

bool Backint_Catalog_Lookup::get_backup_files_from_local(const std::string& database, const std::string& filename,
                                                         std::uint64_t& total, Catalog_Backup_File_Infos& list,
                                                         std::uint64_t offset, std::uint64_t limit) {
  list.clear();
  Backup_File_Infos records;
  if (!catalog_.get_files("", database, filename, total, records, limit, offset)) return false;
  for (const Backup_File_Info& record : records) {
    Catalog_Backup_File_Info info;
    parse_backint_catalog_info(record, info);
    list.push_back(info);
  }
  return true;
}

bool Backint_Catalog_Lookup::get_backup_files_req(const std::string& query, std::uint64_t& total,
                                                  Catalog_Backup_File_Infos& list) {
  if (!session_) {
    protocol_.write_error("NULL", "Failed to get catalog backup file: init http session first\n");
    return false;
  }
  HTTP_Query full(query);
  full.add("module", "hana").add("view", "backupfile").add("resource_uuid", zero_uuid());
  HTTP_Request request(HTTP_GET, kSetsSelectPath, false);
  request.query_string(full);
  if (!access_key_.empty()) request.headers().put(HTTP_HEAD_X_ACCESS_KEY, access_key_, true);

  Retry_Policy policy;
  policy.want_object = true;
  policy.file = __FILE__;
  policy.line = __LINE__;
  CGI_Response response;
  json_value body;
  if (!Retrying_JSON_Session(session_, policy).exchange(HTTP_GET, request, nullptr, response, body)) {
    protocol_.write_debug("Failed to get catalog backup files, status = %d\n", response.status());
    return false;
  }

  Catalog_Backup_File_Infos rows;
  try {
    total = object_get_uint64_or_throw(body, "total");
    for (const json_value& row : object_get_array_or_throw(body, "rows")) {
      Catalog_Backup_File_Info info;
      std::string location;
      extract_or_throw(row)("size", info.size)("location", location)("database", info.database)(
          "extern_backup_id", info.ebid)("pool_uuid", info.pool_uuid)("origin_path", info.origin_path)(
          "storage_path", info.storage_path)("backup_start_time", info.backup_time)("database_backup_id",
                                                                                    info.database_backup_id);
      std::size_t slash = location.rfind('/');
      if (slash == std::string::npos) {
        protocol_.write_debug("Failed to get catalog backup files: failed to get '%s' directory", location.c_str());
        return false;
      }
      info.filename = location.substr(slash + 1);
      info.path = slash == 0 ? std::string("/") : location.substr(0, slash);
      rows.push_back(info);
    }
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to get catalog backup files, %s\n", e.what());
    return false;
  }
  list.insert(list.end(), rows.begin(), rows.end());
  return true;
}

}  // namespace sap_hana
