#include "job/log_backup_executor.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <boost/algorithm/string/case_conv.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/directory_iterator.h"
#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/path_conf.h"
#include "agent/base/snprintf_t.h"
#include "agent/json/json_file.h"
#include "agent/process/service_lister.h"
#include "common/environ_getter.h"
#include "common/instance_control.h"
#include "common/list_databases.h"
#include "common/resource_info_getter.h"
#include "common/system_config_manager.h"
#include "common/tenant_database_control.h"
#include "common/utils.h"
#include "job/backint_preparer.h"
#include "job/backup_source_collector.h"
#include "job/database_lock_manager.h"

namespace sap_hana {

namespace {

constexpr int kAlertPrepareBackint = 1;
constexpr int kAlertInitHdbsql = 2;
constexpr int kAlertStartTenant = 3;
constexpr int kAlertCollectSource = 5;
constexpr int kAlertResourceInfo = 6;
constexpr int kAlertBackintJob = 9;
constexpr int kAlertLastFullBackup = 10;
constexpr int kAlertJobState = 11;
constexpr int kAlertLogConf = 14;

constexpr unsigned kPollInterval = 10;    // seconds between looks at HANA and its processes
constexpr time_t kQuietStart = 600;       // before this, a missing hana-backint is not yet suspicious
constexpr time_t kNoProgressLimit = 180;  // how long a backup may go without its hana-backint
constexpr const char* kLogBackupPrefix = "log_backup";

std::string work_dir() { return Path_Conf(kHanaWorkDir).fix().str(); }

/// A live ondemand file: renamed leftovers carry a "." (name.<time>).
bool is_live_log_backup_name(const std::string& name) {
  return name.compare(0, std::char_traits<char>::length(kLogBackupPrefix), kLogBackupPrefix) == 0 &&
         name.find('.') == std::string::npos;
}

/// Seconds since `start`: the wall clock, or the poll intervals slept when
/// those are more (sleeps are shortened in tests, the counting is not).
struct Wait_Clock {
  time_t start = std::time(nullptr);
  time_t slept = 0;
  time_t elapsed() const { return std::max(std::time(nullptr) - start, slept); }
  void sleep(unsigned seconds) {
    backoff_sleep(seconds);
    slept += seconds;
  }
};

}  // namespace

Log_Backup_Executor::~Log_Backup_Executor() = default;

bool Log_Backup_Executor::stopping() const {
  return act_.state == JOB_STATE_CANCELING || act_.state == JOB_STATE_ABORTING;
}

bool Log_Backup_Executor::already_set_up() {
  bool found = false;
  iterate_directory(work_dir(), [this, &found](const std::string& name, const struct dirent&) {
    // A renamed file of this definition says nothing about the live one,
    // which may belong to another job by now.
    if (!is_live_log_backup_name(name)) return true;
    json_value conf;
    if (load_json(work_dir() + "/" + name, conf) && conf.is_object()) {
      auto id = conf.find("job_definition_uuid");
      if (id != conf.end() && id->is_string() && id->get<std::string>() == def_.id()) found = true;
    }
    return !found;
  });
  return found;
}

bool Log_Backup_Executor::any_log_backup_file() {
  bool found = false;
  iterate_directory(work_dir(), [&found](const std::string& name, const struct dirent&) {
    found = is_live_log_backup_name(name);
    return !found;
  });
  return found;
}

bool Log_Backup_Executor::setup_ondemand() {
  generate_access_key_file();
  if (already_set_up()) return true;

  if (!Resource_Info_Getter(src_->id()).base_info(sid_, instance_name_, instance_mgr_name_, instance_number_)) {
    alert(kAlertResourceInfo, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to get resource info\n"));
    return false;
  }
  if (!Backint_Preparer(sid_).prepare()) {
    alert(kAlertPrepareBackint, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to prepare backint\n"));
    return false;
  }
  Backup_Source_Collector collector(sid_);
  if (!collector.collect(*src_)) {
    alert(kAlertCollectSource, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to collect source\n"));
    return false;
  }
  if (collector.get().size() != 1) {
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, log backup with multiple databases is not supported\n"));
    return false;
  }
  const std::string database = collector.get().front().database;
  if (!generate_log_conf_file(database)) {
    const std::string& name = database.empty() ? instance_name_ : database;
    alert(kAlertLogConf, 0, json_value{{"instance", name}});
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to generate %s %s job configure file\n",
               database.empty() ? "instance" : "database", name.c_str()));
    return false;
  }
  enable_log_backup();
  change_active_file_group();
  return true;
}

bool Log_Backup_Executor::generate_log_conf_file(const std::string& database) {
  std::string path;
  if (!ondemand_conf_path(sid_, instance_name_, database, path) || path.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get file name\n"));
    return false;
  }
  if (is_regular_file(path.c_str())) {
    const std::string renamed = snprintf_t<4096>("%s.%ld", path.c_str(), static_cast<long>(std::time(nullptr))).c_str();
    if (std::rename(path.c_str(), renamed.c_str()) != 0) {
      ACE_ERROR((LM_ERROR, "Failed to rename %s to %s\n", path.c_str(), renamed.c_str()));
      return false;
    }
  }
  const char* compression = compression_value_to_name(compression_);
  json_value io_ctl = {{"max_seconds_retry", def_.max_seconds_retry()},
                       {"resumption_buffer_size", def_.resumption_buffer_size()},
                       {"server_side_dedup", def_.server_side_dedup()}};
  def_.rate_limits().to_json_in_object(io_ctl, false);
  json_value conf = {{"job_definition_uuid", def_.id()},
                     {"type", "log"},
                     {"sid", sid_},
                     {"instance_name", instance_name_},
                     {"instance_number", instance_number_},
                     {"pool_uuid", tgt_.id},
                     {"location", tgt_.location},
                     {"host_uuid", def_.host_id()},
                     {"resource_uuid", src_->id()},
                     {"uid", def_.uid()},
                     {"compression", compression ? compression : ""},
                     {"compression_level", compression_level_},
                     {"io_ctl", io_ctl}};
  char buffer[4096];
  if (dirname_r(path.c_str(), buffer, sizeof buffer) == nullptr) return false;
  const std::string dir = buffer;
  if (mkdir_p(dir.c_str(), 0755) != 0) return false;
  if (!dump_json(path, conf, 0640)) return false;
  // hana-backint runs as <sid>adm: it reads the file through group sapsys
  // and must pass the directories; the file itself stays 0640.
  const bool group = change_file_group_to_sap(path.c_str(), nullptr);
  if (!group) ACE_ERROR((LM_ERROR, "Failed to give %s the group %s\n", path.c_str(), kSapGroup));
  const bool passable = change_directory_permission(dir, 0755);
  return group && passable;
}

bool Log_Backup_Executor::remove_ondemand() {
  if (!Resource_Info_Getter(src_->id()).base_info(sid_, instance_name_, instance_mgr_name_, instance_number_)) {
    ACE_ERROR((LM_ERROR, "Failed to remove backup HANA log, failed to get resource info\n"));
    return false;
  }
  Backup_Source_Collector collector(sid_);
  if (!collector.collect(*src_)) {
    ACE_ERROR((LM_ERROR, "Failed to remove backup HANA log, failed to collect source\n"));
    return false;
  }
  for (const auto& entry : collector.get()) {
    if (remove_conf_file(entry.database)) continue;
    const bool instance = entry.database.empty();
    ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to remove %s '%s' job configure file\n",
               instance ? "instance" : "database", instance ? instance_name_.c_str() : entry.database.c_str()));
  }
  // Another log backup job of this host still needs HANA's settings.
  if (any_log_backup_file()) return true;
  disable_log_backup();
  return true;
}

bool Log_Backup_Executor::remove_conf_file(const std::string& database) {
  std::string path;
  if (!ondemand_conf_path(sid_, instance_name_, database, path) || path.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get file name\n"));
    return false;
  }
  if (!is_regular_file(path.c_str())) return true;
  json_value conf;
  if (!load_json(path, conf) || !conf.is_object()) return false;
  auto id = conf.find("job_definition_uuid");
  if (id == conf.end() || !id->is_string() || id->get<std::string>() != def_.id()) return false;
  return ::unlink(path.c_str()) == 0;
}

bool Log_Backup_Executor::change_active_file_group() {
  // hana-backint reads the job's activity record to tell whether the job
  // is still active.
  return change_file_group_to_sap(Agent_Job_Activity_Handle::path_of(def_.id()).c_str(), nullptr);
}

bool Log_Backup_Executor::enable_log_backup() {
  if (!is_active(nullptr) || !init_hdbsql()) return true;
  System_Config_Manager config(hdbsql_);
  config.alter_log_mode(System_Config_Manager::LOG_MODE_NORMAL);
  config.alter_auto_log_backup(true);
  config.alter_log_backup_using_backint(true);
  config.alter_catalog_backup_using_backint(true);
  return true;
}

bool Log_Backup_Executor::disable_log_backup() {
  if (!is_active(nullptr) || !init_hdbsql()) return true;
  System_Config_Manager config(hdbsql_);
  config.alter_auto_log_backup(false);
  config.alter_log_backup_using_backint(false);
  config.alter_catalog_backup_using_backint(false);
  return true;
}

std::vector<std::string> Log_Backup_Executor::backint_job_uuids(const Action_Options& options) {
  std::vector<std::string> uuids;
  std::string one = options_get(&options, "backint_job_uuid");
  if (!one.empty()) {
    uuids.push_back(one);
    return uuids;
  }
  json_value list;
  if (!loads_json(options_get(&options, "backint_job_uuids"), list) || !list.is_array()) return uuids;
  for (const auto& uuid : list)
    if (uuid.is_string()) uuids.push_back(uuid.get<std::string>());
  return uuids;
}

bool Log_Backup_Executor::execute_backup(const Action_Options* options) {
  if (!init_hdbsql()) {
    alert(kAlertInitHdbsql, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to init hdbsql for %s %s\n", sid_.c_str(), instance_name_.c_str()));
    return false;
  }
  if (options == nullptr) {
    ACE_ERROR((LM_ERROR, "Failed to get log backup options\n"));
    return false;
  }
  const std::vector<std::string> uuids = backint_job_uuids(*options);
  if (uuids.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get backint job uuid\n"));
    return false;
  }
  evt_handler_.handle_progress(1, 0, 0, 0);
  bool any = false;
  for (size_t i = 0; i < uuids.size(); ++i) {
    if (stopping()) break;
    if (handle_backint_catalog(uuids[i])) any = true;
    evt_handler_.handle_progress(static_cast<int>((i + 1) * 100 / uuids.size()), 0, 0, 0);
  }
  evt_handler_.handle_progress(100, 0, 0, 0);
  return any;
}

bool Log_Backup_Executor::handle_backint_catalog(const std::string& catalog_uuid) {
  if (catalog_uuid.empty()) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, catalog_uuid is NULL or \"\":\n%?\n")));
    return false;
  }
  Backint_Backup_Job_Info job;
  if (!backint_helper_.get_job(catalog_uuid, job)) {
    alert(kAlertBackintJob, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to get backint job(%s) info\n", catalog_uuid.c_str()));
    return false;
  }
  const std::string& database = job.database;
  ACE_DEBUG((LM_INFO, "Start to backup HANA %s:%s log\n", sid_.c_str(), database.c_str()));

  if (mdc_ && database != "SYSTEMDB") {
    Database_Info info;
    if (Database_Lister(hdbsql_).list(info, database) && !info.active) {
      ACE_Thread_Mutex* control_lock = Database_Lock_Manager::instance()->get_control_lock(sid_, database);
      if (control_lock == nullptr) {
        ACE_ERROR((LM_ERROR, "Failed to get database control lock for %s\n", database.c_str()));
        return false;
      }
      ACE_Guard<ACE_Thread_Mutex> guard(*control_lock);
      if (!guard.locked()) return false;
      ACE_DEBUG((LM_INFO, "Try to start tenant database %s for log backup\n", database.c_str()));
      if (!Tenant_Database_Controller(hdbsql_).start(database)) {
        alert(kAlertStartTenant, 0, json_value{{"database", database}});
        ACE_ERROR((LM_ERROR, "Failed to start tenant database %s\n", database.c_str()));
        return false;
      }
    }
  }

  if (!check_log_complete(job.database_backup_id, catalog_uuid)) {
    alert(kAlertJobState, 0, json_value());
    ACE_ERROR((LM_ERROR, "Job state is error, database_backup_id = %Q\n", job.database_backup_id));
    return false;
  }
  backoff_sleep(1);

  if (!get_last_full_backup_id(database, last_full_backup_id_, false)) {
    ACE_ERROR((LM_ERROR, "Failed to get last full backup id from SYSTEMDB\n"));
    json_value full;
    auto id = full.end();
    if (!get_last_full_backup_set(database, full) || (id = full.find("database_backup_id")) == full.end() ||
        !id->is_number_unsigned()) {
      alert(kAlertLastFullBackup, 0, json_value());
      ACE_ERROR((LM_ERROR, "Failed to get %s last full backup id\n", database.c_str()));
      return false;
    }
    last_full_backup_id_ = id->get<ACE_UINT64>();
  }

  HANA_Backup_Set set;
  init_metadata(set);
  if (!record_set(set, catalog_uuid, database, "Failed to update and save metadata")) return false;
  ACE_DEBUG((LM_INFO, "Handle HANA %s:%s %s catalog successful.\n", sid_.c_str(), database.c_str(), set.type.c_str()));
  return true;
}

bool Log_Backup_Executor::check_log_complete(ACE_UINT64 database_backup_id, const std::string& backint_catalog_uuid) {
  if (wait_backint_job(database_backup_id)) return true;
  std::string landscape_id;
  Backup_File_Infos files;
  return Environ_Getter::get_landscape_id(sid_.c_str(), landscape_id) &&
         backint_helper_.get_job_files(backint_catalog_uuid, files) && !files.empty();
}

int Log_Backup_Executor::count_backint_processes(ACE_UINT64 database_backup_id) {
  // Exactly this backup's ID: "-s 12" must not match the process of "-s 123".
  const std::string pattern =
      snprintf_t<256>("hana-backint.*-s\\s*%llu(\\s|$)", static_cast<unsigned long long>(database_backup_id)).c_str();
  std::vector<Service_Info> processes;
  if (Service_Lister::list_service(pattern.c_str(), processes, false, "C") != 0) return -1;
  return static_cast<int>(processes.size());
}

bool Log_Backup_Executor::wait_backint_job(ACE_UINT64 database_backup_id) {
  Instance_Controller::Instance_State state = Instance_Controller::INSTANCE_STATE_UNKNOWN;
  if (!Instance_Controller(sid_).get_state(instance_number_, state)) {
    ACE_ERROR((LM_ERROR, "Failed to get instance state\n"));
    return false;
  }
  Wait_Clock clock;
  if (state != Instance_Controller::INSTANCE_STATE_RUNNING) {
    // HANA is down: its hana-backint either ends by itself or hangs on a
    // pipe nobody writes any more; the catalog files decide afterwards.
    for (;;) {
      // A failed process listing proves nothing: it is retried like a
      // process still running, never taken for "none left".
      const int running = count_backint_processes(database_backup_id);
      if (running == 0) return true;
      if (running < 0) ACE_ERROR((LM_ERROR, "Failed to list hana-backint processes\n"));
      if (clock.elapsed() > kNoProgressLimit || stopping()) {
        ACE_ERROR((LM_ERROR, "Hana-backint still runs while the instance is down, database_backup_id = %Q\n",
                   database_backup_id));
        return false;
      }
      clock.sleep(kPollInterval);
    }
  }
  time_t last_seen = 0;
  for (;;) {
    std::string job_state;
    if (!get_job_state(database_backup_id, job_state) || job_state.empty()) {
      ACE_ERROR((LM_ERROR, "Failed to get job state\n"));
      return false;
    }
    const std::string lower = boost::algorithm::to_lower_copy(job_state);
    if (lower == "successful") return true;
    if (lower == "failed" || lower == "canceled") return false;
    if (stopping()) return false;
    if (clock.elapsed() > kQuietStart) {
      if (count_backint_processes(database_backup_id) > 0) {
        last_seen = clock.elapsed();
      } else if (clock.elapsed() - last_seen > kNoProgressLimit) {
        ACE_ERROR((LM_ERROR, "Hana-backint progress does not exist, state = %s, database_backup_id = %Q\n",
                   job_state.c_str(), database_backup_id));
        return false;
      }
    }
    clock.sleep(kPollInterval);
  }
}

}  // namespace sap_hana
