#include "job/log_backup_executor.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <boost/algorithm/string/case_conv.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/backupd/pool_utils.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/directory_iterator.h"
#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/path_conf.h"
#include "agent/base/snprintf_t.h"
#include "agent/config/host_manager.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"
#include "agent/json/json_file.h"
#include "agent/process/service_lister.h"
#include "agent/process/text_process_handler.h"
#include "agent/storage/client_io_ex.h"
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

/// The one value of a one-column result, taken from the whole line: a
/// MESSAGE holds commas, which the general handler would split.
class Single_Value_Handler : public Text_Process_Handler {
 public:
  int handle_stdout_line(const char* line, size_t len) override {
    std::string text(line, len);
    if (!header_) {
      header_ = true;
      return 0;
    }
    if (text.find(" row selected") != std::string::npos || text.find(" rows selected") != std::string::npos) return 0;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
      text = text.substr(1, text.size() - 2);
      for (size_t at = 0; (at = text.find("\"\"", at)) != std::string::npos; ++at) text.erase(at, 1);
    } else if (text == "?") {
      text.clear();
    }
    value_ = text;
    return 0;
  }
  const std::string& value() const { return value_; }

 private:
  bool header_ = false;
  std::string value_;
};

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
  // A file alone does not prove that HANA's settings followed it: a setup
  // that failed to switch them left the file, and this one tries again.
  if (already_set_up()) return switch_log_backup_on();

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
  const bool switched = switch_log_backup_on();
  change_active_file_group();
  return switched;
}

bool Log_Backup_Executor::switch_log_backup_on() {
  if (enable_log_backup()) return true;
  alert(kAlertLogConf, 0, json_value{{"instance", instance_name_}});
  ACE_ERROR((LM_ERROR, "Failed to backup HANA log, failed to switch HANA %s %s log backups to backint\n", sid_.c_str(),
             instance_name_.c_str()));
  return false;
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
  if (disable_log_backup()) return true;
  alert(kAlertLogConf, 0, json_value{{"instance", instance_name_}});
  ACE_ERROR((LM_ERROR, "Failed to remove backup HANA log, failed to switch off HANA %s %s log backups to backint\n",
             sid_.c_str(), instance_name_.c_str()));
  return false;
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
  if (!is_active(nullptr)) {
    ACE_ERROR((LM_ERROR, "Failed to change HANA's log backup settings, this node is not active\n"));
    return false;
  }
  if (!init_hdbsql()) return false;
  // The settings are independent: each one made now is one the next setup
  // need not make, so a failure does not stop the others.
  System_Config_Manager config(hdbsql_);
  bool ok = config.alter_log_mode(System_Config_Manager::LOG_MODE_NORMAL);
  ok = config.alter_auto_log_backup(true) && ok;
  ok = config.alter_log_backup_using_backint(true) && ok;
  return config.alter_catalog_backup_using_backint(true) && ok;
}

bool Log_Backup_Executor::disable_log_backup() {
  if (!is_active(nullptr)) {
    ACE_ERROR((LM_ERROR, "Failed to change HANA's log backup settings, this node is not active\n"));
    return false;
  }
  if (!init_hdbsql()) return false;
  System_Config_Manager config(hdbsql_);
  bool ok = config.alter_auto_log_backup(false);
  ok = config.alter_log_backup_using_backint(false) && ok;
  return config.alter_catalog_backup_using_backint(false) && ok;
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
  // One backup that is not recorded fails the run, whatever the others did.
  size_t recorded = 0;
  for (size_t i = 0; i < uuids.size(); ++i) {
    if (stopping()) {
      for (size_t rest = i; rest < uuids.size(); ++rest)
        ACE_ERROR((LM_ERROR, "The job is stopping, backint job %s is not recorded\n", uuids[rest].c_str()));
      break;
    }
    if (handle_backint_catalog(uuids[i])) ++recorded;
    evt_handler_.handle_progress(static_cast<int>((i + 1) * 100 / uuids.size()), 0, 0, 0);
  }
  evt_handler_.handle_progress(100, 0, 0, 0);
  if (recorded == uuids.size()) return true;
  ACE_ERROR((LM_ERROR, "Recorded %u of %u HANA log backups\n", static_cast<unsigned>(recorded),
             static_cast<unsigned>(uuids.size())));
  return false;
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

  std::string state;
  const Hana_Outcome outcome = wait_backint_job(job.database_backup_id, state);
  if (outcome != Hana_Outcome::SUCCESSFUL) {
    json_value parameters = {{"database", database}, {"database_backup_id", job.database_backup_id}, {"state", state}};
    ACE_ERROR((LM_ERROR, "Job state is error, database_backup_id = %Q\n", job.database_backup_id));
    if (outcome == Hana_Outcome::FAILED) {
      const std::string message = hana_message(job.database_backup_id);
      parameters["message"] = message;
      alert(kAlertJobState, 0, parameters);
      ACE_ERROR((LM_ERROR, "HANA reports backup %Q of %s:%s as %s: %s\n", job.database_backup_id, sid_.c_str(),
                 database.c_str(), state.c_str(), message.c_str()));
      discard_backup(job);
    } else {
      alert(kAlertJobState, 0, parameters);
      ACE_ERROR((LM_ERROR, "HANA has not confirmed backup %Q of %s:%s (state %s), backint job %s is kept unrecorded\n",
                 job.database_backup_id, sid_.c_str(), database.c_str(), state.empty() ? "unknown" : state.c_str(),
                 catalog_uuid.c_str()));
    }
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

std::string Log_Backup_Executor::hana_message(ACE_UINT64 database_backup_id) {
  snprintf_t<4096> sql("select MESSAGE from %s.M_BACKUP_CATALOG where BACKUP_ID=%llu", schema(),
                       static_cast<unsigned long long>(database_backup_id));
  Single_Value_Handler handler;
  if (!hdbsql_.execute(sql.c_str(), &handler)) return std::string();
  return handler.value();
}

void Log_Backup_Executor::discard_backup(const Backint_Backup_Job_Info& job) {
  Backup_File_Infos files;
  std::uint64_t total = 0;
  // An empty list is an answer (backint saved nothing); a failed read is not.
  if (!backint_helper_.get_file_req(HTTP_Query().add("uuid", job.uuid).str(), total, files)) {
    ACE_ERROR((LM_ERROR, "Failed to read the files of backint job %s, it is kept\n", job.uuid.c_str()));
    return;
  }
  bool removed = true;
  if (!files.empty()) {
    const std::string& pool_uuid = files.front().pool_uuid.empty() ? tgt_.id : files.front().pool_uuid;
    Client_IO_Ex io;
    if (!connect_pool(pool_uuid, io)) {
      ACE_ERROR((LM_ERROR, "Backint job %s is kept\n", job.uuid.c_str()));
      return;
    }
    std::set<std::string> directories;
    for (const Backup_File_Info& file : files) {
      // Only what hana-backint named inside the pool: never an absolute or
      // climbing path.
      const std::string& path = file.storage_path;
      if (path.empty() || path.front() == '/' || path.find("..") != std::string::npos) {
        ACE_ERROR((LM_ERROR, "Failed to remove object '%s', it is no pool path\n", path.c_str()));
        removed = false;
        continue;
      }
      if (!io.remove(path)) {
        ACE_ERROR((LM_ERROR, "Failed to remove object %s, %s\n", path.c_str(), io.error().c_str()));
        removed = false;
        continue;
      }
      const size_t slash = path.rfind('/');
      if (slash != std::string::npos) directories.insert(path.substr(0, slash));
    }
    // The backup's own directory; anything else in it keeps it.
    for (const std::string& directory : directories) io.remove(directory);
  }
  if (!removed) {
    ACE_ERROR((LM_ERROR, "Backint job %s is kept, not all of its objects were removed\n", job.uuid.c_str()));
    return;
  }
  if (backint_helper_.remove_job(job.uuid))
    ACE_DEBUG((LM_INFO, "Removed backup %Q of %s:%s from the pool and the backint catalog\n", job.database_backup_id,
               sid_.c_str(), job.database.c_str()));
}

int Log_Backup_Executor::count_backint_processes(ACE_UINT64 database_backup_id) {
  // Exactly this backup's ID: "-s 12" must not match the process of "-s 123".
  const std::string pattern =
      snprintf_t<256>("hana-backint.*-s\\s*%llu(\\s|$)", static_cast<unsigned long long>(database_backup_id)).c_str();
  std::vector<Service_Info> processes;
  if (Service_Lister::list_service(pattern.c_str(), processes, false, "C") != 0) return -1;
  return static_cast<int>(processes.size());
}

Log_Backup_Executor::Hana_Outcome Log_Backup_Executor::wait_backint_job(ACE_UINT64 database_backup_id,
                                                                        std::string& state) {
  state.clear();
  Instance_Controller::Instance_State instance = Instance_Controller::INSTANCE_STATE_UNKNOWN;
  if (!Instance_Controller(sid_).get_state(instance_number_, instance)) {
    ACE_ERROR((LM_ERROR, "Failed to get instance state\n"));
    return Hana_Outcome::UNCONFIRMED;
  }
  Wait_Clock clock;
  if (instance != Instance_Controller::INSTANCE_STATE_RUNNING) {
    // HANA is down: its hana-backint either ends by itself or hangs on a
    // pipe nobody writes any more.
    for (;;) {
      // A failed process listing proves nothing: it is retried like a
      // process still running, never taken for "none left".
      const int running = count_backint_processes(database_backup_id);
      if (running == 0) break;
      if (running < 0) ACE_ERROR((LM_ERROR, "Failed to list hana-backint processes\n"));
      if (clock.elapsed() > kNoProgressLimit || stopping()) {
        ACE_ERROR((LM_ERROR, "Hana-backint still runs while the instance is down, database_backup_id = %Q\n",
                   database_backup_id));
        return Hana_Outcome::UNCONFIRMED;
      }
      clock.sleep(kPollInterval);
    }
    // Only HANA's catalog tells whether HANA took the backup as done.
    if (!Instance_Controller(sid_).get_state(instance_number_, instance) ||
        instance != Instance_Controller::INSTANCE_STATE_RUNNING) {
      ACE_ERROR(
          (LM_ERROR, "HANA is not running, its catalog cannot confirm database_backup_id = %Q\n", database_backup_id));
      return Hana_Outcome::UNCONFIRMED;
    }
  }
  time_t last_seen = 0;
  for (;;) {
    std::string job_state;
    if (!get_job_state(database_backup_id, job_state) || job_state.empty()) {
      ACE_ERROR((LM_ERROR, "Failed to get job state\n"));
      return Hana_Outcome::UNCONFIRMED;
    }
    state = job_state;
    const std::string lower = boost::algorithm::to_lower_copy(job_state);
    if (lower == "successful") return Hana_Outcome::SUCCESSFUL;
    if (lower == "failed" || lower == "canceled") return Hana_Outcome::FAILED;
    if (stopping()) return Hana_Outcome::UNCONFIRMED;
    if (clock.elapsed() > kQuietStart) {
      if (count_backint_processes(database_backup_id) > 0) {
        last_seen = clock.elapsed();
      } else if (clock.elapsed() - last_seen > kNoProgressLimit) {
        ACE_ERROR((LM_ERROR, "Hana-backint progress does not exist, state = %s, database_backup_id = %Q\n",
                   job_state.c_str(), database_backup_id));
        return Hana_Outcome::UNCONFIRMED;
      }
    }
    clock.sleep(kPollInterval);
  }
}

}  // namespace sap_hana
