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

std::string Backint_Catalog_Lookup::sid_of_path(const std::string& path) {
  static const std::string root = "/usr/sap/";
  if (path.compare(0, root.size(), root) != 0) return std::string();
  const std::size_t end = path.find('/', root.size());
  if (end == std::string::npos) return std::string();
  std::string piece = path.substr(root.size(), end - root.size());
  const std::size_t at = piece.find('@');
  return at == std::string::npos ? piece : piece.substr(at + 1);
}

bool Backint_Catalog_Lookup::in_scope(const System_Scope& scope, const std::string& origin_path) {
  if (scope.sid.empty()) return true;
  const std::string sid = sid_of_path(origin_path);
  return sid.empty() || sid == scope.sid;
}

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

Lookup_Status Backint_Catalog_Lookup::get_backup_file_from_local(const std::string& ebid, const System_Scope& scope,
                                                                 Catalog_Backup_File_Info& info) {
  if (ebid.empty()) {
    protocol_.write_error("NULL", "Missing ebid to get catalog backup file from local.\n");
    return Lookup_Status::not_found("no EBID");
  }
  // The same request as get_file_by_ebid, but a failed request is told
  // apart from an unknown EBID.
  HTTP_Query query;
  query.add("extern_backup_id", ebid);
  if (!scope.landscape_id.empty()) query.add("landscape_id", scope.landscape_id);
  std::uint64_t total = 0;
  Backup_File_Infos rows;
  if (!catalog_.get_file_req(query.str(), total, rows))
    return Lookup_Status::failed("the backint catalog cannot be read");
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    if (!in_scope(scope, row->origin_path)) continue;
    parse_backint_catalog_info(*row, info);
    return Lookup_Status::found();
  }
  return Lookup_Status::not_found();
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file_from_backupd(const std::string& ebid,
                                                                   const std::string& pool_uuid,
                                                                   const System_Scope& scope,
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
  for (const Catalog_Backup_File_Info& row : list) {
    if (!in_scope(scope, row.origin_path)) continue;
    info = row;
    return Lookup_Status::found();
  }
  return Lookup_Status::not_found();
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file(const std::string& ebid, const std::string& pool_uuid,
                                                      const System_Scope& scope, Catalog_Backup_File_Info& info) {
  Lookup_Status local = get_backup_file_from_local(ebid, scope, info);
  if (local.is_found()) return local;
  Lookup_Status sets = get_backup_file_from_backupd(ebid, pool_uuid, scope, info);
  if (sets.is_found() || local.is_not_found()) return sets;
  return local;
}

Lookup_Status Backint_Catalog_Lookup::get_backup_file(const std::string& database, const std::string& filename,
                                                      const std::string& pool_uuid, const System_Scope& scope,
                                                      Catalog_Backup_File_Info& info) {
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
    if (!get_backup_files_req(query.str(), total, list)) {
      failure = Lookup_Status::failed("the backup-set catalog cannot be read");
    } else if (!list.empty() && in_scope(scope, list.front().origin_path)) {
      from_sets = list.front();
    } else {
      // The first row is another system's: the first of this system's.
      const std::uint64_t page = 100;
      for (std::uint64_t offset = 1; offset < total && from_sets.ebid.empty(); offset += page) {
        std::uint64_t seen = 0;
        if (!get_backup_files_from_backupd(database, filename, pool_uuid, scope, seen, list, offset, page)) {
          failure = Lookup_Status::failed("the backup-set catalog cannot be read");
          break;
        }
        if (!list.empty()) from_sets = list.front();
      }
    }
  }

  Catalog_Backup_File_Info from_local;
  if (filename.empty()) {
    protocol_.write_error("NULL", "Missing filename to get catalog backup file from local.\n");
  } else {
    std::uint64_t total = 0;
    Backup_File_Infos records;
    if (!catalog_.get_files(scope.landscape_id, database, filename, total, records, 1, 0)) {
      failure = Lookup_Status::failed("the backint catalog cannot be read");
    } else if (total > 1) {
      // Several backups of that name: the newest one is meant, wherever the
      // server lists it.
      const std::uint64_t page = 100;
      records.clear();
      for (std::uint64_t offset = 0; offset < total; offset += page) {
        std::uint64_t seen = 0;
        if (!catalog_.get_files(scope.landscape_id, database, filename, seen, records, page, offset)) {
          failure = Lookup_Status::failed("the backint catalog cannot be read");
          records.clear();
          break;
        }
      }
      records.erase(std::remove_if(records.begin(), records.end(),
                                   [&scope](const Backup_File_Info& r) { return !in_scope(scope, r.origin_path); }),
                    records.end());
      auto newest =
          std::max_element(records.begin(), records.end(), [](const Backup_File_Info& a, const Backup_File_Info& b) {
            return std::tie(a.database_backup_id, a.backup_time) < std::tie(b.database_backup_id, b.backup_time);
          });
      if (newest != records.end()) parse_backint_catalog_info(*newest, from_local);
    } else if (total > 0 && !records.empty() && in_scope(scope, records.back().origin_path)) {
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
                                                           const std::string& pool_uuid, const System_Scope& scope,
                                                           std::uint64_t& total, Catalog_Backup_File_Infos& list,
                                                           std::uint64_t offset, std::uint64_t limit) {
  list.clear();
  HTTP_Query query;
  if (!database.empty()) query.add("database", database);
  if (!filename.empty()) query.add("filename", filename);
  if (!pool_uuid.empty()) query.add("pool_uuid", pool_uuid);
  query.add("limit", limit).add("offset", offset);
  if (!get_backup_files_req(query.str(), total, list)) return false;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&scope](const Catalog_Backup_File_Info& r) { return !in_scope(scope, r.origin_path); }),
             list.end());
  return true;
}

bool Backint_Catalog_Lookup::get_backup_files_from_local(const std::string& database, const std::string& filename,
                                                         const System_Scope& scope, std::uint64_t& total,
                                                         Catalog_Backup_File_Infos& list, std::uint64_t offset,
                                                         std::uint64_t limit) {
  list.clear();
  Backup_File_Infos records;
  if (!catalog_.get_files(scope.landscape_id, database, filename, total, records, limit, offset)) return false;
  for (const Backup_File_Info& record : records) {
    if (!in_scope(scope, record.origin_path)) continue;
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
