#include "job/restore_executor.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <memory>

#include "agent/base/file_utils.h"
#include "agent/base/loose_version.h"
#include "agent/base/path_conf.h"
#include "agent/base/snprintf_t.h"
#include "agent/config/instance_manager.h"
#include "agent/job/job_mutex.h"
#include "agent/job/write_job_alert.h"
#include "agent/json/json_file.h"
#include "agent/jsonrpc/json_rpc_forward.h"
#include "common/environ_getter.h"
#include "common/hana_basic_type.h"
#include "common/instance_control.h"
#include "common/list_databases.h"
#include "common/list_instances.h"
#include "common/nameserver_config_parser.h"
#include "common/system_control.h"
#include "common/tenant_database_control.h"
#include "common/utils.h"
#include "job/backint_preparer.h"
#include "job/database_lock_manager.h"
#include "job/hdbsql_error_msg_handler.h"
#include "job/recover_statement.h"
#include "job/restore_time.h"

namespace sap_hana {

namespace {

constexpr int kAlertCategory = 7;
constexpr int kAlertPrepareBackint = 1;
constexpr int kAlertInitHdbsql = 2;
constexpr int kAlertStartDatabase = 3;
constexpr int kAlertStopDatabase = 4;
constexpr int kAlertCollectSource = 5;
constexpr int kAlertResourceInfo = 6;
constexpr int kAlertRestore = 15;
constexpr int kAlertRestoreCatalog = 16;
constexpr int kAlertStartCluster = 17;
constexpr int kAlertSqlFileExists = 18;

constexpr int kStopAttempts = 3;
// Seconds a peer may take to restart its instance: the longest the server
// forwards a request.
constexpr int kRestartTimeout = 600;
constexpr const char* kSystemDb = "SYSTEMDB";

/// A peer's answer to one of our services is {"error": 0}; an error
/// object ({"code", "message"}) means it refused.
bool peer_succeeded(const json_value& result) {
  return result.is_object() && result.contains("error") && result["error"].is_number_integer() &&
         result["error"].get<long long>() == 0;
}

}  // namespace

Restore_Executor::Restore_Executor(Job& job) : Job_Executor_T(job) {
  if (opts_ != nullptr) ignore_delta_ = opts_->ignore_delta();
  if (src_ != nullptr) {
    pool_uuid_ = src_->pool_uuid();
    log_pool_uuid_ = src_->log_pool_uuid();
  }
}

Restore_Executor::~Restore_Executor() = default;

void Restore_Executor::alert(int code, const json_value& parameters) {
  write_job_alert(job_, kAlertCategory, code, 0, parameters, 1);
}

bool Restore_Executor::execute_i(const Action_Options*) {
  // The source's mutex keeps a backup of the backed-up system from moving
  // its chain under us; the target's keeps a backup of the target system
  // from starting a tenant this restore has just stopped. Taken in the
  // order of their IDs, so that restores in both directions at once wait
  // for each other instead of each holding one.
  std::vector<std::string> ids = {src_->id()};
  if (!tgt_.id.empty() && tgt_.id != src_->id()) ids.push_back(tgt_.id);
  std::sort(ids.begin(), ids.end());
  std::vector<std::shared_ptr<ACE_Thread_Mutex>> mutexes;
  std::vector<std::unique_ptr<ACE_Guard<ACE_Thread_Mutex>>> guards;
  for (const std::string& id : ids) {
    mutexes.push_back(Job_Mutex::get(id));
    if (!mutexes.back()) return false;
    guards.emplace_back(new ACE_Guard<ACE_Thread_Mutex>(*mutexes.back()));
    if (!guards.back()->locked()) return false;
  }
  if (!execute_restore()) {
    ACE_ERROR((LM_ERROR, "Failed to restore HANA database\n"));
    return false;
  }
  return true;
}

bool Restore_Executor::execute_restore() {
  if (def_.subtype() != JOB_DEFINITION_SUBTYPE_POINT_IN_TIME) {
    ACE_ERROR((LM_ERROR, "Type %s is not supported\n", job_def_subtype_to_string(def_.subtype())));
    return false;
  }
  if (!Resource_Info_Getter(tgt_.id).base_info(sid_, instance_name_, instance_mgr_name_, instance_number_) ||
      !get_cluster_info()) {
    alert(kAlertResourceInfo, json_value());
    ACE_ERROR((LM_ERROR, "Failed to get resource info.\n"));
    return false;
  }
  System_Instance_Info info;
  if (!System_Instance_Lister().list(info, sid_, instance_name_)) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA version.\n"));
    return false;
  }
  generate_access_key_file();
  // hana-backint runs as <sid>adm and must reach the key file.
  const std::string key_file = access_key_file();
  change_directory_permission(dirname_string(key_file), 0755);
  hana_version_ = info.system_info.version.empty() ? info.version : info.system_info.version;
  check_feature();

  if (!Backint_Preparer(sid_).prepare()) {
    alert(kAlertPrepareBackint, json_value());
    ACE_ERROR((LM_ERROR, "Failed to prepare backint.\n"));
    return false;
  }
  sort_entries();
  if (!check_entries()) return false;
  if (!init_hdbsql()) {
    alert(kAlertInitHdbsql, json_value());
    ACE_ERROR((LM_ERROR, "Failed to initialize hdbsql for %s %s\n", sid_.c_str(), instance_name_.c_str()));
    return false;
  }
  if (!change_conf_dir_permission()) {
    ACE_ERROR((LM_ERROR, "Failed to change catalog directory permission\n"));
    return false;
  }

  // Every entry's backups are collected, and found to reach its point in
  // time, before any database is stopped: a restore that cannot reach what
  // was asked costs no outage.
  std::vector<std::unique_ptr<Restore_Source_Collector>> collectors;
  for (const Entry_Item& entry : sorted_entries_) {
    collectors.emplace_back(new Restore_Source_Collector(src_->id(), entry, def_.max_seconds_retry(), ignore_delta_,
                                                         pool_uuid_, log_pool_uuid_));
    Restore_Source_Collector& collector = *collectors.back();
    if (!collector.collect()) {
      json_value parameters;
      if (collector.get_reachable_time() != 0)
        parameters = {{"database", entry.target.database},
                      {"reachable_time", Restore_Time::format(collector.get_reachable_time())}};
      alert(kAlertCollectSource, parameters);
      ACE_ERROR((LM_ERROR, "Failed to collect restore source.\n"));
      ACE_ERROR((LM_ERROR, "The restore of '%s' from '%s@%s' cannot run; no database was stopped or restored\n",
                 entry.target.database.c_str(), entry.origin.sid.c_str(), entry.origin.database.c_str()));
      return false;
    }
  }

  const ACE_UINT16 total = static_cast<ACE_UINT16>(sorted_entries_.size());
  ACE_UINT16 current = 0;
  for (const Entry_Item& entry : sorted_entries_) {
    // A stop or abort takes effect here, between databases, where none is
    // stopped; the one being recovered when it came is finished first.
    if (stop_requested(current)) return false;
    const Restore_Source_Collector& collector = *collectors[current];
    ++current;
    ACE_DEBUG((LM_INFO, "Restore HANA database '%s' from '%s@%s'\n", entry.target.database.c_str(),
               entry.origin.sid.c_str(), entry.origin.database.c_str()));
    const Backup_Set_Info& set = collector.get_backup_set();
    const HANA_Catalog_Info& catalog = collector.get_hana_catalog();
    if (entry.origin.sid != sid_ && !prepare_origin_pipe_dir(set)) return false;
    if (catalog.database_backup_id != 0 && !restore_catalog(entry, catalog)) {
      alert(kAlertRestoreCatalog, json_value());
      ACE_ERROR((LM_ERROR, "Failed to restore HANA catalog\n"));
      return false;
    }
    if (!generate_ext_conf_file(sid_, entry.target.database, entry.origin.sid)) {
      ACE_ERROR((LM_ERROR, "Failed to generate restore extend conf file\n"));
      return false;
    }
    if (!restore_data(entry.target.systemdb, set, catalog)) {
      ACE_ERROR((LM_ERROR, "Failed to restore HANA data\n"));
      return false;
    }
    evt_handler_.handle_progress(current * 100 / total, 0, 0, 0);
    act_.set_storage_size += collector.get_total_size();
    act_.set_size += collector.get_total_size();
    act_.size += collector.get_total_source_size();
  }
  // A stop that came during the last database ends the run as stopped too:
  // it was accepted, and the log says that everything was restored.
  return !stop_requested(current);
}

bool Restore_Executor::stop_requested(unsigned restored) {
  if (act_.state != JOB_STATE_CANCELING && act_.state != JOB_STATE_ABORTING) return false;
  std::string done, left;
  for (size_t i = 0; i < sorted_entries_.size(); ++i) {
    std::string& list = i < restored ? done : left;
    list += (list.empty() ? "" : ", ") + sorted_entries_[i].target.database;
  }
  ACE_ERROR((LM_ERROR,
             "The restore was stopped: %u of %u database(s) restored (%s), not restored: %s; no database "
             "was left stopped\n",
             restored, static_cast<unsigned>(sorted_entries_.size()), done.empty() ? "none" : done.c_str(),
             left.empty() ? "none" : left.c_str()));
  return true;
}

bool Restore_Executor::init_hdbsql() {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_ERROR, "Failed to get instance manager.\n"));
    return false;
  }
  std::string user;
  secure_string password;
  if (manager->get_account("hana", instance_mgr_name_, def_.uid(), user, password, nullptr) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to get username and password.\n"));
    return false;
  }
  if (!hdbsql_.init(sid_, instance_name_, std::string(), user, password)) {
    ACE_ERROR((LM_ERROR, "Failed to init hdbsql.\n"));
    return false;
  }
  return true;
}

bool Restore_Executor::sort_entries() {
  mdc_ = System_Controller(sid_).is_multi_container();
  sorted_entries_.clear();
  for (const Entry_Item& entry : src_->get_entries()) {
    sorted_entries_.push_back(entry);
    Entry_Item& copy = sorted_entries_.back();
    if (mdc_ && copy.target.database != kSystemDb) {
      copy.target.systemdb = false;
    } else {
      copy.target.systemdb = true;
      std::swap(copy, sorted_entries_.front());
    }
  }
  return true;
}

bool Restore_Executor::check_entries() {
  for (const Entry_Item& entry : sorted_entries_) {
    const char* bad = nullptr;
    std::string value;
    if (!is_hana_identifier(entry.target.database)) {
      bad = "target database";
      value = entry.target.database;
    } else if (!is_hana_identifier(entry.origin.database)) {
      bad = "origin database";
      value = entry.origin.database;
    } else if (!is_hana_identifier(entry.origin.sid)) {
      bad = "origin SID";
      value = entry.origin.sid;
    } else if (time_t t = 0; !entry.target.timepoint.empty() && !Restore_Time::parse(entry.target.timepoint, t)) {
      bad = "point in time (expected YYYY-MM-DD HH:MM:SS)";
      value = entry.target.timepoint;
    }
    if (bad != nullptr) {
      alert(kAlertRestore, json_value{{"database", entry.target.database}});
      ACE_ERROR((LM_ERROR, "Invalid %s '%s' in the restore entry of '%s@%s', nothing restored\n", bad, value.c_str(),
                 entry.origin.sid.c_str(), entry.origin.database.c_str()));
      return false;
    }
  }
  return true;
}

bool Restore_Executor::check_feature() {
  ancient_version_ = Loose_Version(hana_version_) < Loose_Version("1.00.100");
  return true;
}

bool Restore_Executor::get_cluster_info() {
  if (!Name_Server_Config_Parser(sid_).is_cluster(is_cluster_)) {
    ACE_ERROR((LM_ERROR, "Failed to check HANA cluster\n"));
    return false;
  }
  if (!is_cluster_) return true;
  cluster_instances_.clear();
  if (!Resource_Info_Getter(tgt_.id).get_instances_info(cluster_instances_)) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA cluster instances\n"));
    return false;
  }
  auto self =
      std::find_if(cluster_instances_.begin(), cluster_instances_.end(),
                   [this](const Resource_Info_Getter::Instance_Info& i) { return i.host_uuid == def_.host_id(); });
  if (self != cluster_instances_.end()) cluster_instances_.erase(self);
  if (cluster_instances_.empty()) {
    ACE_ERROR((LM_ERROR, "The HANA cluster resource lists no host besides this one\n"));
    return false;
  }
  return true;
}

bool Restore_Executor::change_conf_dir_permission() {
  const std::string dir = Path_Conf(kHanaWorkDir, true, "catalog", 0750).fix("agent").str();
  if (mkdir_p(dir.c_str(), 0755) != 0 || !change_directory_permission(dir, 0755)) {
    ACE_ERROR((LM_ERROR, "Failed to create directory %s\n", dir.c_str()));
    return false;
  }
  if (!change_file_group_to_sap(dir.c_str(), nullptr)) {
    ACE_ERROR((LM_ERROR, "Failed to change file group\n"));
    return false;
  }
  return true;
}

bool Restore_Executor::prepare_origin_pipe_dir(const Backup_Set_Info& set) {
  // HANA names the origin's objects by their paths below the origin's pipe
  // directory and makes its pipes there: it must exist on this host and be
  // writable for <sid>adm.
  std::string path;
  if (!database_pipe_path(set.origin_sid.c_str(), set.origin_dbname.c_str(), set.origin_mdc, path)) {
    ACE_ERROR((LM_ERROR, "Failed to generate pipe path\n"));
    return false;
  }
  mkdir_p(path.c_str(), 0755);
  change_file_group_to_sap(path.c_str(), nullptr);
  if (::chmod(path.c_str(), 0775) != 0)
    ACE_ERROR((LM_ERROR, "Failed to change the mode of %s, errno = %d\n", path.c_str(), errno));
  return true;
}

bool Restore_Executor::write_conf_file(const std::string& path, const json_value& content, const char* what) {
  if (!dump_json(path, content, 0640, -1)) {
    ACE_ERROR((LM_ERROR, "Failed to dump %s to file\n", what));
    return false;
  }
  if (!change_file_group_to_sap(path.c_str(), nullptr))
    ACE_ERROR((LM_ERROR, "Failed to change the group of %s\n", path.c_str()));
  return sync_config(path, content);
}

bool Restore_Executor::restore_catalog(const Entry_Item& entry, const HANA_Catalog_Info& catalog) {
  if (catalog.location.empty() || catalog.file_detail.storage_path.empty()) {
    ACE_ERROR((LM_ERROR, "Lack of location or storage_path\n"));
    return false;
  }
  ACE_DEBUG((LM_INFO, "Restore HANA using catalog with database backup id %Q\n", catalog.database_backup_id));
  std::string path;
  if (!catalog_conf_file_name(entry.origin.sid.c_str(), entry.origin.database.c_str(), sid_.c_str(),
                              entry.target.database.c_str(), path))
    return false;
  json_value content = {{"location", catalog.location},
                        {"filename", catalog.file_detail.storage_path},
                        {"source_type", catalog.file_detail.source_type},
                        {"extern_backup_id", catalog.file_detail.extern_backup_id},
                        {"origin_sid", entry.origin.sid},
                        {"origin_database", entry.origin.database},
                        {"target_sid", sid_},
                        {"pool_uuid", catalog.pool_uuid},
                        {"target_database", entry.target.database}};
  return write_conf_file(path, content, "catalog info");
}

bool Restore_Executor::generate_ext_conf_file(const std::string& sid, const std::string& database,
                                              const std::string& origin_sid) {
  std::string path;
  if (!restore_ext_conf_file(sid.c_str(), database.c_str(), path)) return false;
  json_value io_ctl = json_value::object();
  def_.rate_limits().to_json_in_object(io_ctl, false);
  io_ctl["max_seconds_retry"] = static_cast<std::uint64_t>(def_.max_seconds_retry());
  json_value content = {{"io_ctl", io_ctl}};
  if (!pool_uuid_.empty()) content["pool_uuid"] = pool_uuid_;
  if (!log_pool_uuid_.empty()) content["log_pool_uuid"] = log_pool_uuid_;
  // hana-backint reads another system's backups only for the system named here.
  if (!origin_sid.empty() && origin_sid != sid) content["origin_sid"] = origin_sid;
  return write_conf_file(path, content, "restore extend attrs");
}

bool Restore_Executor::sync_config(const std::string& path, const json_value& content) {
  if (!is_cluster_) return true;
  // A host that misses the file fails its part of the recovery in HANA,
  // which reports it; the push itself does not decide the restore.
  for (const auto& instance : cluster_instances_) {
    json_value result;
    if (!json_rpc_forward("hana.file.download", json_value{{"destination", path}, {"data", content}},
                          instance.host_uuid, result, static_cast<int>(json_value::value_t::null)) ||
        !peer_succeeded(result))
      ACE_ERROR((LM_ERROR, "Failed to send %s to host %s: %s\n", path.c_str(), instance.host_uuid.c_str(),
                 result.dump().c_str()));
  }
  return true;
}

bool Restore_Executor::restore_data(bool systemdb, const Backup_Set_Info& set, const HANA_Catalog_Info& catalog) {
  return systemdb ? restore_systemdb(set, catalog) : restore_tenantdb(set, catalog);
}

bool Restore_Executor::generate_restore_cmd(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog,
                                            std::string& statement, bool tenant) {
  return Recover_Statement(sid_, mdc_, ancient_version_, ignore_delta_)
      .generate(set, catalog.database_backup_id != 0, tenant, statement);
}

bool Restore_Executor::restore_tenantdb(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog) {
  const std::string& database = set.target_dbname;
  // The statement first: one that cannot be made must not cost a stop.
  std::string statement;
  if (!generate_restore_cmd(set, catalog, statement, true)) {
    alert(kAlertRestore, json_value());
    ACE_ERROR((LM_ERROR, "Failed to generate restore cmd of tenant database '%s'\n", database.c_str()));
    return false;
  }
  ACE_Thread_Mutex* control = Database_Lock_Manager::instance()->get_control_lock(sid_, database);
  if (control == nullptr) {
    ACE_ERROR((LM_ERROR, "Failed to get database control lock for %s\n", database.c_str()));
    return false;
  }
  ACE_Guard<ACE_Thread_Mutex> guard(*control);
  if (!guard.locked()) return false;

  ACE_DEBUG((LM_INFO, "Try to stop database %s@%s\n", sid_.c_str(), database.c_str()));
  Tenant_Database_Controller controller(hdbsql_);
  Database_Lister lister(hdbsql_);
  // A state that cannot be read counts as running: RECOVER must never meet
  // a tenant that may still serve.
  auto active = [&lister, &database]() {
    Database_Info info;
    return !lister.list(info, database) || info.active;
  };
  bool running = active();
  for (int attempt = 0; attempt < kStopAttempts && running; ++attempt) {
    if (controller.stop(database))
      running = active();
    else
      ACE_ERROR((LM_ERROR, "Failed to stop tenant database '%s', retry...\n", database.c_str()));
  }
  if (running) {
    alert(kAlertStopDatabase, json_value{{"database", database}});
    ACE_ERROR((LM_ERROR, "Failed to stop tenant database '%s'\n", database.c_str()));
    return false;
  }
  ACE_DEBUG((LM_INFO, "Stop the database %s@%s successfully\n", sid_.c_str(), database.c_str()));

  const Log_Marks marks = backup_log_marks(database, false);
  HDBSQL_Error_Msg_Handler handler;
  if (!hdbsql_.execute(statement, &handler)) {
    if (!handler.errors().empty()) ACE_ERROR((LM_ERROR, "HANA: %s\n", handler.errors().c_str()));
    alert(kAlertRestore, json_value());
    ACE_ERROR((LM_ERROR, "Failed to restore tenant database\n"));
    return false;
  }
  if (!controller.start(database)) {
    alert(kAlertStartDatabase, json_value{{"database", database}});
    ACE_ERROR((LM_ERROR, "failed to start tenant database\n"));
    return false;
  }
  return check_reached(set, marks);
}

bool Restore_Executor::restore_systemdb(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog) {
  std::string statement;
  if (!generate_restore_cmd(set, catalog, statement, false)) {
    ACE_ERROR((LM_ERROR, "Failed to generate SYSTEMDB restore cmd\n"));
    return false;
  }
  Instance_Controller controller(sid_);
  std::string dir;
  if (!controller.get_instance_dir(instance_name_, dir, true)) {
    ACE_ERROR((LM_ERROR, "Failed to get instance dir\n"));
    return false;
  }
  const std::string path = snprintf_t<4096>("%s/work/recoverInstance.sql", dir.c_str()).c_str();
  // A file left by an earlier run would be recovered from at the next
  // start: refuse before the stop, so that a restore that cannot run costs
  // no outage.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    alert(kAlertSqlFileExists, json_value{{"file", path}});
    ACE_ERROR((LM_ERROR, "Restore sql file %s is exist\n", path.c_str()));
    return false;
  }
  if (!controller.stop(instance_name_)) {
    alert(kAlertStopDatabase, json_value{{"database", instance_name_}});
    ACE_ERROR((LM_ERROR, "Failed to stop '%s' instance to restore the SYSTEMDB\n", instance_name_.c_str()));
    return false;
  }
  // O_EXCL: never through a link or onto a file that appeared meanwhile.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool written = fd >= 0 && ::write(fd, statement.data(), statement.size()) == static_cast<ssize_t>(statement.size());
  if (fd >= 0 && ::close(fd) != 0) written = false;
  if (!written) {
    // A statement cut short must not be what HANA runs at its next start,
    // nor block the next restore.
    if (fd >= 0) ::unlink(path.c_str());
    ACE_ERROR((LM_ERROR, "Failed to restore system database: failed to generate sql file %s\n", path.c_str()));
    return false;
  }
  const Log_Marks marks = backup_log_marks(mdc_ ? kSystemDb : sid_, true);
  if (!controller.start(instance_name_)) {
    alert(kAlertRestore, json_value());
    ACE_ERROR((LM_ERROR, "Failed to start '%s' instance to restore the SYSTEMDB\n", instance_name_.c_str()));
    return false;
  }
  for (const auto& instance : cluster_instances_) {
    json_value result;
    json_value params = {{"action", "restart"}, {"sid", sid_}, {"instance_name", instance_name_}};
    if (!json_rpc_forward("hana.instance.control", params, instance.host_uuid, result,
                          static_cast<int>(json_value::value_t::null), kRestartTimeout) ||
        !peer_succeeded(result)) {
      alert(kAlertStartCluster, json_value{{"host", instance.host_uuid}});
      ACE_ERROR((LM_ERROR, "Failed to start cluster instance\n"));
    }
  }
  if (mdc_) Tenant_Database_Controller(hdbsql_).start(sid_);
  return check_reached(set, marks);
}

Restore_Executor::Log_Marks Restore_Executor::backup_log_marks(const std::string& database, bool systemdb) {
  Log_Marks marks;
  marks.database = database;
  std::vector<std::string> dirs;
  Environ_Getter::instance()->get_trace_dirs(sid_, dirs);
  for (const std::string& dir : dirs) {
    const std::string path = dir + (systemdb ? "" : "/DB_" + database) + "/backup.log";
    struct stat st;
    marks.sizes[path] = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  }
  return marks;
}

bool Restore_Executor::check_reached(const Backup_Set_Info& set, const Log_Marks& marks) {
  if (set.is_full_backup) return true;
  // HANA recovers as far as the log backups allow and ends successfully
  // even when that is short of UNTIL TIMESTAMP; only the end line of its
  // backup.log says where it got to: "RECOVER DATA finished successfully,
  // reached timestamp <ISO 8601>, ...".
  static const std::string kFinished = "RECOVER DATA finished successfully";
  static const std::string kReached = "reached timestamp ";
  std::string reached_text;
  for (const auto& mark : marks.sizes) {
    std::ifstream in(mark.first);
    if (!in) continue;
    in.seekg(0, std::ios::end);
    // A log that shrank was rotated: all of it is new.
    const long long size = static_cast<long long>(in.tellg());
    in.seekg(size >= mark.second ? mark.second : 0);
    std::string line;
    while (std::getline(in, line)) {
      const size_t at = line.find(kReached);
      if (line.find(kFinished) == std::string::npos || at == std::string::npos) continue;
      const size_t from = at + kReached.size();
      reached_text = line.substr(from, line.find_first_of(", ", from) - from);
    }
  }
  time_t target = 0, reached = 0;
  Restore_Time::parse(set.target_time, target);
  if (reached_text.empty()) {
    ACE_DEBUG((LM_INFO, "HANA reported no point in time reached for '%s'; its backups reach %s UTC\n",
               marks.database.c_str(), set.target_time.c_str()));
    return true;
  }
  if (!Restore_Time::parse(reached_text, reached)) {
    alert(kAlertRestore, json_value{{"database", set.target_dbname}});
    ACE_ERROR((LM_ERROR, "HANA reported an unreadable point in time '%s' reached for '%s'\n", reached_text.c_str(),
               marks.database.c_str()));
    return false;
  }
  if (reached < target) {
    alert(kAlertRestore, json_value{{"database", set.target_dbname}, {"reached_time", Restore_Time::format(reached)}});
    ACE_ERROR((LM_ERROR,
               "HANA recovered '%s' only to %s UTC, not to the requested %s UTC; it now holds the content "
               "of that time\n",
               marks.database.c_str(), Restore_Time::format(reached).c_str(), set.target_time.c_str()));
    return false;
  }
  ACE_DEBUG(
      (LM_INFO, "HANA recovered '%s' to %s UTC\n", marks.database.c_str(), Restore_Time::format(reached).c_str()));
  return true;
}

}  // namespace sap_hana
