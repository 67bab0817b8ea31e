#include "job/backup_executor_basic.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <climits>
#include <fstream>
#include <vector>

#include "agent/backupd/catalog_operator.h"
#include "agent/backupd/pool_utils.h"
#include "agent/backupd/read_first_catalog.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/backupset/minor_resource_id.h"
#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/natoi.h"
#include "agent/base/snprintf_t.h"
#include "agent/base/time_parse.h"
#include "agent/base/uuid_string.h"
#include "agent/config/host_manager.h"
#include "agent/config/instance_manager.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"
#include "agent/http/http_session_factory.h"
#include "agent/job/write_job_alert.h"
#include "agent/jsonrpc/json_rpc_forward.h"
#include "common/environ_getter.h"
#include "common/instance_control.h"
#include "common/list_instances.h"
#include "common/nameserver_config_parser.h"
#include "common/replication_state_getter.h"
#include "common/resource_info_getter.h"
#include "common/system_control.h"
#include "common/utils.h"
#include "job/database_lock_manager.h"

namespace sap_hana {

namespace {

constexpr int kAlertCategory = 7;
constexpr int kAlertResourceInfo = 6;
constexpr int kAlertUpdateSet = 13;
constexpr int kAlertCommitSet = 45;
// Set alerts carry bit 44.
constexpr std::uint64_t kSetAlertFlags = 0x100000000000ULL;
constexpr const char* kCatalogFileName = "log_backup_0_0_0_0";

/// The value of `column` in the last row; empty when there is none.
std::string last_value(const HDBSQL_General_Text_Handler& handler, const char* column) {
  auto key = handler.get_key().find(column);
  if (key == handler.get_key().end() || handler.get_values().empty()) return std::string();
  const auto& row = handler.get_values().back();
  return static_cast<size_t>(key->second) < row.size() ? row[key->second] : std::string();
}

bool is_catalog_file(const std::string& name) {
  // HANA names its catalog backups "log_backup_0_0_0_0.<backup id>".
  const size_t n = std::char_traits<char>::length(kCatalogFileName);
  return name.compare(0, n, kCatalogFileName) == 0 && (name.size() == n || name[n] == '.');
}

}  // namespace

Backup_Executor_Basic::Backup_Executor_Basic(Job& job)
    : Job_Executor_T(job), job_type_(job.definition().subtype()), session_(5, 300) {
  if (opts_ != nullptr) {
    compression_ = opts_->compression_;
    compression_level_ = opts_->compression_level_;
  }
}

Backup_Executor_Basic::~Backup_Executor_Basic() = default;

void Backup_Executor_Basic::alert(int code, std::uint64_t flags, const json_value& parameters) {
  write_job_alert(job_, kAlertCategory, code, flags, parameters, 1);
}

bool Backup_Executor_Basic::execute_i(const Action_Options* options) {
  const char* word = backup_word();
  if (!init_system_info()) {
    ACE_ERROR((LM_ERROR, "Failed to initialize system info to backup HANA %s\n", word));
    return false;
  }
  if (!execute_backup(options)) {
    ACE_ERROR((LM_ERROR, "Failed to backup HANA %s\n", word));
    return false;
  }
  return true;
}

bool Backup_Executor_Basic::init_session() {
  session_.reset(Common_HTTP_Session_Factory::create(3, nullptr, 0));
  if (!session_) {
    ACE_ERROR((LM_ERROR, "Failed to connect to backupd\n"));
    return false;
  }
  return true;
}

bool Backup_Executor_Basic::init_system_info() {
  if (!init_session() || !backint_helper_.init(session_)) {
    ACE_ERROR((LM_ERROR, "Failed to initialize backint helper.\n"));
    return false;
  }
  if (!Resource_Info_Getter(src_->id()).base_info(sid_, instance_name_, instance_mgr_name_, instance_number_)) {
    alert(kAlertResourceInfo, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to collect resource info.\n"));
    return false;
  }
  mdc_ = System_Controller(sid_).is_multi_container();
  return true;
}

bool Backup_Executor_Basic::init_hdbsql() {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_ERROR, "Failed to get instance manager\n"));
    return false;
  }
  std::string user;
  secure_string password;
  if (manager->get_account("hana", instance_mgr_name_, def_.uid(), user, password, nullptr) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to get username and password\n"));
    return false;
  }
  if (!hdbsql_.init(sid_, instance_name_, std::string(), user, password)) {
    ACE_ERROR((LM_ERROR, "Failed to init hdbsql\n"));
    return false;
  }
  return true;
}

bool Backup_Executor_Basic::is_active(const Action_Options*) {
  Resource_Info_Getter resource(src_->id());
  if (!resource.base_info(sid_, instance_name_, instance_mgr_name_, instance_number_)) {
    ACE_ERROR((LM_ERROR, "Failed to get resource info to check if the node is active\n"));
    return false;
  }
  Replication_State replication;
  if (Replication_State_Getter(sid_).get_state(replication) &&
      (replication.mode == "sync" || replication.mode == "async" || replication.mode == "syncmem"))
    return false;
  Instance_Controller::Instance_State state = Instance_Controller::INSTANCE_STATE_UNKNOWN;
  if (!Instance_Controller(sid_).get_state(instance_number_, state)) return false;
  if (state == Instance_Controller::INSTANCE_STATE_RUNNING) return true;
  if (job_type_ != JOB_DEFINITION_SUBTYPE_ONDEMAND) return false;

  Resource_Info_Getter::Instances_Info instances;
  if (!resource.get_instances_info(instances)) {
    ACE_ERROR((LM_ERROR, "Failed to get cluster instances to check if the node is active\n"));
    return false;
  }
  if (instances.size() == 1) return true;
  bool master = false;
  if (!Name_Server_Config_Parser(sid_).is_active_master(master) || !master) return false;
  for (const auto& instance : instances) {
    json_value params = {{"action", "state"}, {"sid", sid_}, {"instance_name", instance_name_}};
    json_value result;
    int running = 0;
    if (!json_rpc_forward("hana.instance.control", params, instance.host_uuid, result,
                          static_cast<int>(json_value::value_t::object)) ||
        !result.contains("state") || !result["state"].is_number_integer()) {
      ACE_ERROR((LM_ERROR, "Failed to get state to check if the node is active\n"));
      continue;
    }
    running = result["state"].get<int>();
    if (running == Instance_Controller::INSTANCE_STATE_RUNNING) return false;
  }
  return true;
}

bool Backup_Executor_Basic::query_with_retry(const std::string& sql, HDBSQL_General_Text_Handler& handler,
                                             bool need_row) {
  bool ok = false;
  for (Exponential_Backoff_Iterator it(1, 10, 2, false), end; it != end; ++it) {
    handler.reset();
    ok = hdbsql_.execute(sql, &handler) && (!need_row || !handler.get_values().empty());
    if (ok) break;
    backoff_sleep(*it);
  }
  return ok;
}

bool Backup_Executor_Basic::get_last_backup_id(const std::string& database, Job_Definition_Subtype level,
                                               ACE_UINT64& backup_id, bool success_only) {
  const char* entry_type = nullptr;
  switch (level) {
    case JOB_DEFINITION_SUBTYPE_FULL:
      entry_type = "complete data backup";
      break;
    case JOB_DEFINITION_SUBTYPE_INCREMENTAL:
      entry_type = "incremental data backup";
      break;
    case JOB_DEFINITION_SUBTYPE_CUMULATIVE:
      entry_type = "differential data backup";
      break;
    default:
      ACE_ERROR((LM_ERROR, "Unknown job subtype '%s'\n", job_def_subtype_to_string(level)));
      return false;
  }
  std::string database_clause;
  if (mdc_) database_clause = snprintf_t<64>("and c.DATABASE_NAME='%s'", database.c_str()).c_str();
  snprintf_t<4096> sql(
      "select c.BACKUP_ID as BACKUP_ID from %s.M_BACKUP_CATALOG as c join %s.M_BACKUP_CATALOG_FILES as f on "
      "c.BACKUP_ID = f.BACKUP_ID where lower(ENTRY_TYPE_NAME)='%s' and lower(DESTINATION_TYPE_NAME)='backint'  %s "
      "%s order by c.BACKUP_ID desc limit 1",
      schema(), schema(), entry_type, success_only ? "and STATE_NAME='successful'" : "", database_clause.c_str());
  backup_id = 0;
  HDBSQL_General_Text_Handler handler;
  query_with_retry(sql.c_str(), handler, false);
  std::string id = last_value(handler, "BACKUP_ID");
  if (id.empty()) return false;
  backup_id = natoi<ACE_UINT64>(id.c_str());
  return errno == 0;
}

bool Backup_Executor_Basic::get_backup_catalog_time(ACE_UINT64 backup_id, time_t& start_time, time_t& end_time) {
  snprintf_t<4096> sql(
      "select TO_VARCHAR(UTC_START_TIME, 'YYYY-MM-DD HH24:MI:SS') as START_TIME, TO_VARCHAR(UTC_END_TIME, "
      "'YYYY-MM-DD HH24:MI:SS') as END_TIME from %s.M_BACKUP_CATALOG where BACKUP_ID=%llu",
      schema(), static_cast<unsigned long long>(backup_id));
  HDBSQL_General_Text_Handler handler;
  query_with_retry(sql.c_str(), handler, false);
  std::string start = last_value(handler, "START_TIME");
  std::string end = last_value(handler, "END_TIME");
  if (start.empty() || end.empty() || start == "?" || end == "?") return false;
  return iso8601_to_posix_time(start.c_str(), start_time) && iso8601_to_posix_time(end.c_str(), end_time);
}

bool Backup_Executor_Basic::get_job_state(ACE_UINT64 backup_id, std::string& state) {
  if (backup_id == 0) {
    ACE_ERROR((LM_ERROR, "Failed to get job state, database_backup_id is 0\n"));
    return false;
  }
  state.clear();
  snprintf_t<4096> sql("select STATE_NAME, SYS_END_TIME from %s.M_BACKUP_CATALOG where BACKUP_ID=%llu", schema(),
                       static_cast<unsigned long long>(backup_id));
  HDBSQL_General_Text_Handler handler;
  if (!query_with_retry(sql.c_str(), handler, true)) return false;
  state = last_value(handler, "SYS_END_TIME") == "?" ? "running" : last_value(handler, "STATE_NAME");
  return true;
}

bool Backup_Executor_Basic::get_backup_sets(const std::string& database, ACE_UINT64 database_backup_id,
                                            json_value& set) {
  HTTP_Query query;
  query.add("resource_uuid", src_->id())
      .add("database", database)
      .add("order", "desc")
      .add("limit", "1")
      .add("sort", "database_backup_id")
      .add("module", "hana");
  if (database_backup_id != 0) query.add("database_backup_id", static_cast<std::uint64_t>(database_backup_id));
  json_value value;
  std::string url = std::string("/d2/r/v2/sets/restore/sets") + "?" + query.str();
  if (!read_first_catalog(url, value, 10, 10) || !value.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get %s backup sets, %s\n", database.c_str(), value.dump().c_str()));
    return false;
  }
  bool stored = false;
  auto storages = value.find("storages");
  if (storages != value.end() && storages->is_array()) {
    for (const auto& storage : *storages) {
      auto state = storage.is_object() ? storage.find("state") : storage.end();
      if (storage.is_object() && state != storage.end() && state->is_array() && !state->empty()) stored = true;
    }
  }
  value["state"] = stored;
  set = std::move(value);
  return true;
}

bool Backup_Executor_Basic::get_last_full_backup_set(const std::string& database, json_value& set) {
  if (database.empty()) {
    ACE_ERROR((LM_ERROR, "Database name is empty\n"));
    return false;
  }
  json_value params = {{"database", database},
                       {"type", job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL)},
                       {"resource_uuid", src_->id()}};
  json_value value;
  Catalog_Operator catalog(-1, static_cast<int>(def_.max_seconds_retry()));
  if (!catalog.get_view("hana", "last_backup_set", params, value) || !value.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get last full backup set, %s\n", value.dump().c_str()));
    return false;
  }
  set = std::move(value);
  return true;
}

bool Backup_Executor_Basic::get_last_restore(const std::string& database, time_t& time) {
  time = 0;
  std::vector<std::string> dirs;
  if (!Environ_Getter::instance()->get_trace_dirs(sid_, dirs)) {
    ACE_ERROR((LM_ERROR, "Failed to get trace directory\n"));
    return false;
  }
  const bool system_db = System_Controller(sid_).is_system_database(database);
  for (const std::string& dir : dirs) {
    std::string path = dir + (system_db ? "" : "/DB_" + database) + "/backup.log";
    if (!is_regular_file(path.c_str())) continue;
    std::ifstream in(path);
    if (!in) {
      ACE_ERROR((LM_ERROR, "Failed to open HANA backup file '%s'\n", path.c_str()));
      return false;
    }
    std::string line, last;
    while (std::getline(in, line))
      if (line.find("RECOVER DATA started") != std::string::npos) last = line.substr(0, 25);
    if (last.empty()) continue;
    ACE_INT64 t = 0;
    if (!hana_time_to_posix_time(last.c_str(), t)) {
      ACE_ERROR((LM_ERROR, "Failed to handle time string '%s'\n", last.c_str()));
      return false;
    }
    if (t > time) time = static_cast<time_t>(t);
  }
  return true;
}

void Backup_Executor_Basic::init_metadata(HANA_Backup_Set& set) {
  set.uuid = uuid_string();
  set.name = def_.name();
  set.definition_id = def_.id();
  set.job_act_id = evt_handler_.job_act_id();
  set.definition_uid = def_.uid();
  set.host_id = def_.host_id();
  set.resource_uuid = src_->id();
  set.agent = def_.agent();
  set.type = job_type_ == JOB_DEFINITION_SUBTYPE_ONDEMAND ? "log" : job_def_subtype_to_string(job_type_);
  set.sid = sid_;
  set.instance_number = instance_number_;
  set.instance_name = instance_name_;
  System_Instance_Info info;
  if (System_Instance_Lister().list(info, sid_, instance_name_)) set.system_version = info.system_info.version;
  set.creation_time = std::time(nullptr);
  set.expiry_time = -1;
  set.retention_count = -1;
}

bool Backup_Executor_Basic::update_metadata(HANA_Backup_Set& set, const std::string& catalog_uuid) {
  Backint_Backup_Job_Info job;
  if (!backint_helper_.get_job(catalog_uuid, job)) {
    // Without the record the set would name no database and backup ID 0.
    ACE_ERROR((LM_ERROR, "Failed to get backint job %s\n", catalog_uuid.c_str()));
    return false;
  }
  Backup_File_Infos files;
  for (Exponential_Backoff_Iterator it(1, 10, UINT_MAX, false), end; it != end; ++it) {
    // HANA may record the last files a little after the statement ended: an
    // empty list means "not yet", not a failure.
    std::uint64_t total = 0;
    files.clear();
    if (!backint_helper_.get_file_req(HTTP_Query().add("uuid", catalog_uuid).str(), total, files)) {
      ACE_ERROR((LM_ERROR, "Failed to get backup files\n"));
      return false;
    }
    if (!files.empty()) break;
    backoff_sleep(*it);
  }
  if (files.empty()) {
    ACE_ERROR((LM_ERROR, "Backup files is empty\n"));
    return false;
  }

  const std::string& database = job.database;
  const ACE_UINT64 backup_id = job.database_backup_id;
  set.start_time = set.end_time = std::time(nullptr);
  time_t start = 0, end = 0;
  if (get_backup_catalog_time(backup_id, start, end)) {
    set.start_time = start + 1;
    set.end_time = end;
  } else {
    ACE_ERROR((LM_ERROR, "Failed to update job time by database\n"));
  }
  time_t restore_time = 0;
  if (!get_last_restore(database, restore_time)) ACE_ERROR((LM_ERROR, "Failed to get latest restore info\n"));

  json_value last;
  std::string lifeline, reason;
  time_t last_time = 0;
  if (!get_backup_sets(database, 0, last)) {
    reason = "failed to get last backup job info";
  } else if (!last.contains("start_time") || !last["start_time"].is_string()) {
    reason = "failed to get start time from last backup job info";
  } else if (!last.contains("lifeline") || !last["lifeline"].is_string() ||
             last["lifeline"].get<std::string>().empty()) {
    reason = "failed to get lifeline from last backup job info";
  } else if (!iso8601_to_posix_time(last["start_time"].get<std::string>().c_str(), last_time)) {
    reason = "failed to transform posix time";
  } else if (restore_time > last_time) {
    reason = snprintf_t<256>("restore time is %ld, backup time is %ld", static_cast<long>(restore_time),
                             static_cast<long>(last_time))
                 .c_str();
  } else {
    lifeline = last["lifeline"].get<std::string>();
  }

  std::string incarnation;
  if (!reason.empty()) {
    ACE_DEBUG((LM_INFO, "Update lifeline: %s\n", reason.c_str()));
    lifeline = uuid_string();
    incarnation = set.uuid;
  } else {
    ACE_UINT64 last_backup_id = 0;
    try {
      object_get(last, "incarnation", incarnation);
      object_get(last, "database_backup_id", last_backup_id);
    } catch (const Json_Member_Error&) {
      incarnation.clear();
    }
    const bool full = job_type_ == JOB_DEFINITION_SUBTYPE_FULL;
    // A full backup starts a new incarnation, and so does the first backup
    // after a full one that some other run made.
    if ((full && backup_id > last_backup_id) ||
        (backup_id >= last_full_backup_id_ && last_backup_id < last_full_backup_id_))
      incarnation = set.uuid;
  }
  if (incarnation.empty()) incarnation = set.uuid;

  set.incarnation = incarnation;
  set.lifeline = lifeline;
  set.database = database;
  set.sub_resource = database;
  set.database_backup_id = backup_id;
  set.minor_resource_id = compute_minor_resource_id(set.resource_uuid, database);

  std::uint64_t source_total = 0, storage_total = 0;
  for (const Backup_File_Info& file : files) {
    if (is_catalog_file(file.filename)) set.type = "catalog";
    HANA_Backup_Set::Backup_File f;
    f.extern_backup_id = file.extern_backup_id;
    f.origin_path = file.origin_path;
    f.filename = file.filename;
    f.size = file.size;
    f.source_type = file.source_type;
    f.storage_path = file.storage_path;
    set.add_file(f);
    set.add_piece(file.storage_path, file.size);
    storage_total += file.storage_size;
    source_total += file.size;
    act_.set_storage_size += file.storage_size;
    act_.set_size += file.size;
    act_.size += file.size;
  }
  set.add_storage(Backup_Set_Storage(tgt_.id, storage_total));
  set.source_size = source_total;
  set.storage_size = storage_total;
  set.completion_time = std::time(nullptr);
  return true;
}

bool Backup_Executor_Basic::save_metadata(const HANA_Backup_Set& set) {
  Catalog_Operator catalog(-1, static_cast<int>(def_.max_seconds_retry()));
  if (!catalog.commit(set, true)) {
    ACE_ERROR((LM_ERROR, "Failed to write HANA catalog to backupd\n"));
    return false;
  }
  return true;
}

bool Backup_Executor_Basic::record_set(HANA_Backup_Set& set, const std::string& catalog_uuid,
                                       const std::string& database, const char* save_failed) {
  ACE_Thread_Mutex* update_lock = Database_Lock_Manager::instance()->get_update_lock(sid_, database);
  if (update_lock == nullptr) {
    ACE_ERROR((LM_ERROR, "Failed to get database update lock for %s\n", database.c_str()));
    return false;
  }
  ACE_Guard<ACE_Thread_Mutex> guard(*update_lock);
  if (!guard.locked()) return false;
  if (!update_metadata(set, catalog_uuid)) {
    alert(kAlertUpdateSet, kSetAlertFlags, json_value());
    ACE_ERROR((LM_ERROR, "Failed to update metadata\n"));
    return false;
  }
  if (!save_metadata(set)) {
    alert(kAlertCommitSet, kSetAlertFlags, json_value());
    ACE_ERROR((LM_ERROR, "%s\n", save_failed));
    return false;
  }
  // Only now: until the set is committed the record is the one place that
  // ties HANA's backup to its objects in the pool.
  backint_helper_.remove_job(catalog_uuid);
  return true;
}

bool Backup_Executor_Basic::connect_pool(const std::string& pool_uuid, Client_IO_Ex& io) {
  Pool_Info pool;
  Client_IO_Base::Options options;
  secure_string key = Host_Manager::instance()->access_key();
  if (!key.empty()) options.set_extra_option(http_head_string(HTTP_HEAD_X_ACCESS_KEY), key);
  if (get_pool_info(pool_uuid, nullptr, pool, false, 0, nullptr, true, nullptr, nullptr, false) != 1) {
    ACE_ERROR((LM_ERROR, "Failed to get the information of pool %s\n", pool_uuid.c_str()));
    return false;
  }
  if (set_options_by_pool(options, pool) != 1 || !io.connect(pool.url, options)) {
    ACE_ERROR((LM_ERROR, "Failed to connect to pool %s at %s, %s\n", pool_uuid.c_str(), pool.url.c_str(),
               io.error().c_str()));
    return false;
  }
  return true;
}

}  // namespace sap_hana
