#include "job/restore_source_collector.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <exception>
#include <map>
#include <vector>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupd/pool_utils.h"
#include "agent/http/http_query.h"
#include "agent/http/http_session_factory.h"
#include "agent/http/retrying_json_session.h"
#include "common/filename_parser.h"
#include "common/resource_info_getter.h"
#include "job/restore_time.h"

namespace sap_hana {

Restore_Source_Collector::Restore_Source_Collector(const std::string& resource_uuid,
                                                   const Restore_Job_Source::Entry_Item& entry,
                                                   std::size_t max_seconds_retry, bool ignore_delta,
                                                   const std::string& pool_uuid, const std::string& log_pool_uuid)
    : source_entry_(entry),
      resource_uuid_(resource_uuid),
      max_seconds_retry_(max_seconds_retry),
      ignore_delta_(ignore_delta),
      pool_uuid_(pool_uuid),
      log_pool_uuid_(log_pool_uuid) {}

bool Restore_Source_Collector::get_view(const std::string& view, const json_value& params, json_value& answer) {
  Catalog_Operator op(-1, static_cast<int>(max_seconds_retry_));
  return op.get_view("hana", view, params, answer);
}

bool Restore_Source_Collector::collect_backup_set_by_uuid(json_value& set) {
  const std::string& uuid = source_entry_.catalog_uuid;
  if (!get_view("set", json_value{{"uuid", uuid}, {"pool_uuid", pool_uuid_}}, set) || !set.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get backup set info from backupd, uuid is '%s'\n", uuid.c_str()));
    return false;
  }
  try {
    const std::string& type = object_get_str_or_throw(set, "type");
    backup_set_info_.target_time = object_get_str_or_throw(set, "last_time");
    // A differential job commits its sets under its subtype's name, "cumulative".
    if (type == "full") {
      backup_set_info_.is_full_backup = true;
    } else if (type == "incremental" || type == "differential" || type == "cumulative") {
      backup_set_info_.is_full_backup = false;
    } else {
      ACE_ERROR((LM_ERROR, "Invalid backup type '%s'\n", type.c_str()));
      return false;
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to parser source entry catalog, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Restore_Source_Collector::query_first_row(const json_value& params, json_value& row) {
  json_value answer;
  if (!get_view("rselect", params, answer) || !answer.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get restorable backup set from backupd, params are '%s'\n", params.dump().c_str()));
    return false;
  }
  try {
    const json_value& rows = object_get_array_or_throw(answer, "rows");
    if (rows.empty()) {
      ACE_ERROR((LM_ERROR, "The rows are empty\n"));
      return false;
    }
    row = rows.front();
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Invalid catalog of restorable backup set, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Restore_Source_Collector::parse_full_backup(const json_value& record) {
  Backup_Set_Info& info = backup_set_info_;
  info.origin_dbname = source_entry_.origin.database;
  info.origin_sid = source_entry_.origin.sid;
  info.target_dbname = source_entry_.target.database;
  try {
    extract_or_throw(record)("last_time", info.backup_end_time)("first_time", info.backup_start_time)(
        "lifeline", info.lifeline)("database_backup_id", info.database_backup_id)("uuid", info.catalog_uuid);
    for (const json_value& file : object_get_array_or_throw(record, "files")) {
      std::string filename;
      if (!file.is_object() || !object_get(file, "filename", filename)) continue;
      Filename_Parser::Full_Backup_Entry parsed;
      if (Filename_Parser::parse_full_backup_file(filename, parsed) && parsed.volume_id > info.volume_id)
        info.volume_id = parsed.volume_id;
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse backup set catalog, %s\n", e.what()));
    return false;
  }
  return true;
}

bool Restore_Source_Collector::query_hana_catalog(json_value& row) {
  const Backup_Set_Info& info = backup_set_info_;
  if (info.lifeline.empty() || info.database_backup_id == 0) {
    ACE_ERROR((LM_ERROR, "Lack of lifeline or database_backup_id\n"));
    return false;
  }
  // Text comparison is time order for "YYYY-MM-DD HH:MM:SS".
  const std::string& time = info.backup_end_time > info.target_time ? info.backup_end_time : info.target_time;
  json_value params{{"type", "catalog"},
                    {"resource_uuid", resource_uuid_},
                    {"lifeline", info.lifeline},
                    {"database", source_entry_.origin.database},
                    {"database_backup_id", info.database_backup_id},
                    {"volume_id", info.volume_id},
                    {"time", time}};
  if (!log_pool_uuid_.empty()) params["pool_uuid"] = log_pool_uuid_;
  return query_first_row(params, row);
}

bool Restore_Source_Collector::parse_hana_catalog(const json_value& row) {
  HANA_Catalog_Info& catalog = hana_catalog_info_;
  try {
    std::string database;
    ACE_UINT64 backup_id = 0;
    extract_or_throw(row)("database", database)("database_backup_id", backup_id);
    const json_value& files = object_get_array_or_throw(row, "files");
    const json_value& storages = object_get_array_or_throw(row, "storages");
    std::string pool_uuid = log_pool_uuid_;
    if (pool_uuid.empty()) {
      for (const json_value& storage : storages)
        if (storage.is_object() && object_get(storage, "pool_uuid", pool_uuid)) break;
    }
    if (database != source_entry_.origin.database) {
      ACE_ERROR((LM_ERROR, "Database miss match\n"));
      return false;
    }
    Pool_Info pool;
    if (get_pool_info(pool_uuid, nullptr, pool, log_pool_uuid_.empty(), 0, nullptr, true, nullptr, nullptr, false) !=
        1) {
      ACE_ERROR((LM_ERROR, "Failed to get file location\n"));
      return false;
    }
    catalog.location = pool.url;
    catalog.pool_uuid = pool_uuid;
    if (files.empty() || !files.front().is_object()) {
      ACE_ERROR((LM_ERROR, "Failed to get file detail\n"));
      return false;
    }
    File_Detail& detail = catalog.file_detail;
    extract_or_throw(files.front())("size", detail.size)("storage_path", detail.storage_path)(
        "extern_backup_id", detail.extern_backup_id)("source_type", detail.source_type);
    // Set last: a non-zero ID tells the executor that a catalog was found.
    catalog.database_backup_id = backup_id;
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse hana catalog, %s\n", e.what()));
    return false;
  }
  return true;
}

void Restore_Source_Collector::collect_sets_size() {
  const ACE_UINT64 start = backup_set_info_.database_backup_id;
  const ACE_UINT64 end = backup_set_info_.is_full_backup ? start : hana_catalog_info_.database_backup_id;
  if (start == 0 || end == 0) {
    ACE_ERROR((LM_ERROR, "Lack of database_backup_id\n"));
    return;
  }
  const json_value params{{"lifeline", backup_set_info_.lifeline},
                          {"ignore_delta", ignore_delta_},
                          {"start_backup_id", start},
                          {"end_backup_id", end}};
  json_value answer;
  if (!get_view("sets_size", params, answer)) {
    ACE_ERROR(
        (LM_ERROR, "Failed to get restorable backup set size from backupd, params are '%s'\n", params.dump().c_str()));
    return;
  }
  try {
    ACE_UINT64 source_size = 0, size = 0;
    extract_or_throw(answer)("total_source_size", source_size)("total_size", size);
    total_source_size_ = source_size;
    total_size_ = size;
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to collet set size: %s\n", e.what()));
  }
}

bool Restore_Source_Collector::check_log_chain() {
  const Backup_Set_Info& info = backup_set_info_;
  time_t data_time = 0, target = 0;
  if (!Restore_Time::parse(info.backup_start_time, data_time) || !Restore_Time::parse(info.target_time, target)) {
    ACE_ERROR((LM_ERROR, "Invalid time of the data backup '%s' or of the restore '%s'\n",
               info.backup_start_time.c_str(), info.target_time.c_str()));
    return false;
  }
  HTTP_Query query;
  query.add("module", "hana")
      .add("resource_uuid", resource_uuid_)
      .add("database", info.origin_dbname)
      .add("lifeline", info.lifeline)
      .add("type", "log")
      .add("sort", "database_backup_id");
  const std::string path = "/d2/r/v2/sets/restore/sets?" + query.str();
  Retry_Policy policy;
  policy.retries = 10;
  policy.time_limit = max_seconds_retry_ > 0 ? static_cast<int>(max_seconds_retry_) : -1;
  policy.want_object = true;
  policy.file = __FILE__;
  policy.line = __LINE__;
  Retrying_JSON_Session client(
      JSON_HTTP_Session(Common_HTTP_Session_Factory::create(HTTP_SESSION_TYPE_JSON, nullptr, 0), 10, -1), policy);
  int status = 0;
  json_value answer;
  if (!client || !client.exchange(HTTP_GET, path, nullptr, status, answer)) {
    ACE_ERROR(
        (LM_ERROR, "Failed to get the log backup sets from backupd, status %d, path '%s'\n", status, path.c_str()));
    return false;
  }
  // Per log volume: (first position, last position, start) of each log
  // backup begun after the data backup.
  struct Segment {
    ACE_UINT64 first, last;
    time_t start;
  };
  std::map<ACE_UINT16, std::vector<Segment>> volumes;
  try {
    for (const json_value& set : object_get_array_or_throw(answer, "rows")) {
      time_t start = 0;
      if (!set.is_object() || !Restore_Time::parse(object_get_str_or_throw(set, "start_time"), start) ||
          start < data_time)
        continue;
      for (const json_value& file : object_get_array_or_throw(set, "files")) {
        std::string name;
        Filename_Parser::Log_File_Entry log;
        if (file.is_object() && object_get(file, "filename", name) && Filename_Parser::parse_log_file(name, log))
          volumes[log.volume_id].push_back({log.first_position, log.last_position, start});
      }
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Invalid log backup sets from backupd, %s\n", e.what()));
    return false;
  }
  // With no log backup the data backup alone is what a restore reaches.
  time_t reached = data_time;
  bool first_volume = true;
  for (auto& volume : volumes) {
    std::vector<Segment>& segments = volume.second;
    std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) { return a.first < b.first; });
    time_t volume_reached = segments.front().start;
    for (size_t i = 1; i < segments.size(); ++i) {
      // HANA's end positions are exclusive; one past them also continues.
      if (segments[i].first > segments[i - 1].last + 1) {
        ACE_ERROR((LM_ERROR, "The log backups of volume %u of '%s' have a gap from log position %Q to %Q\n",
                   static_cast<unsigned>(volume.first), info.origin_dbname.c_str(), segments[i - 1].last,
                   segments[i].first));
        break;
      }
      volume_reached = std::max(volume_reached, segments[i].start);
    }
    reached = first_volume ? volume_reached : std::min(reached, volume_reached);
    first_volume = false;
  }
  reachable_time_ = reached;
  if (reached >= target) return true;
  ACE_ERROR((LM_ERROR,
             "The backups of '%s@%s' reach %s UTC at the latest, not the requested %s UTC: the data backup of %s "
             "and the log backups after it end there\n",
             info.origin_dbname.c_str(), info.origin_sid.c_str(), Restore_Time::format(reached).c_str(),
             info.target_time.c_str(), info.backup_start_time.c_str()));
  return false;
}

bool Restore_Source_Collector::collect() {
  Backup_Set_Info& info = backup_set_info_;
  const Restore_Job_Source::Entry_Item& entry = source_entry_;

  json_value set;
  if (entry.catalog_uuid.empty()) {
    time_t target = 0;
    if (!Restore_Time::parse(entry.target.timepoint, target)) {
      ACE_ERROR((LM_ERROR, "Invalid point in time '%s'\n", entry.target.timepoint.c_str()));
      return false;
    }
    info.is_full_backup = false;
    info.target_time = Restore_Time::format(target);
    info.lifeline = entry.target.lifeline;
  } else if (!collect_backup_set_by_uuid(set)) {
    ACE_ERROR((LM_ERROR, "Failed to get and parse catalog by uuid\n"));
    return false;
  }
  if (info.is_full_backup) info.catalog_uuid = entry.catalog_uuid;

  Resource_Info_Getter::Instances_Info instances;
  if (!Resource_Info_Getter(resource_uuid_).get_instances_info(instances) || instances.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get resource info\n"));
    return false;
  }
  info.origin_mdc = instances.front().mdc;

  json_value full;
  if (info.is_full_backup) {
    full = set;
  } else {
    json_value params{{"type", "fullbackup"},
                      {"resource_uuid", resource_uuid_},
                      {"lifeline", info.lifeline},
                      {"database", entry.origin.database},
                      {"time", info.target_time}};
    if (!pool_uuid_.empty()) params["pool_uuid"] = pool_uuid_;
    if (!query_first_row(params, full)) {
      ACE_ERROR((LM_ERROR, "Failed to get full backup catalog\n"));
      return false;
    }
  }
  if (!parse_full_backup(full)) {
    ACE_ERROR((LM_ERROR, "Failed to parse full backup catalog\n"));
    return false;
  }
  if (entry.catalog_uuid.empty() && info.backup_start_time == info.target_time) info.is_full_backup = true;
  if (!info.is_full_backup && entry.catalog_uuid.empty() && !check_log_chain()) return false;

  json_value catalog;
  if (query_hana_catalog(catalog)) {
    if (!parse_hana_catalog(catalog)) {
      ACE_ERROR((LM_ERROR, "Failed to parse HANA database '%s' catalog\n", entry.origin.database.c_str()));
      return false;
    }
  } else if (!info.is_full_backup) {
    ACE_ERROR((LM_ERROR, "Failed to collect HANA database '%s' catalog\n", entry.origin.database.c_str()));
    return false;
  }

  collect_sets_size();
  return true;
}

}  // namespace sap_hana
