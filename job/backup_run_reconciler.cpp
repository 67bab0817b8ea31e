#include "job/backup_run_reconciler.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <cctype>
#include <climits>
#include <ctime>
#include <memory>

#include "agent/backupd/pool_utils.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/natoi.h"
#include "agent/base/snprintf_t.h"
#include "agent/config/host_manager.h"
#include "agent/http/http_headers.h"
#include "agent/job/job_mutex.h"
#include "agent/job/stop_timeouts.h"
#include "agent/storage/client_io_ex.h"

namespace sap_hana {

namespace {

constexpr int kAlertInterruptedRun = 21;
constexpr const char* kCommentPrefix = "job_uuid=";
// HANA's clock and the run's start come from the same host; the minute only
// absorbs rounding.
constexpr std::int64_t kStartSlack = 60;

bool data_backup(const std::string& entry_type) {
  return entry_type == "complete data backup" || entry_type == "incremental data backup" ||
         entry_type == "differential data backup";
}

bool plain_component(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A UUID with or without its dashes; anything else is no comment of ours.
bool uuid_text(const std::string& text) {
  if (text.size() != 32 && text.size() != 36) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) && !(c == '-' && text.size() == 36)) return false;
  return true;
}

std::string column(const HDBSQL_General_Text_Handler& handler, const std::vector<std::string>& row, const char* name) {
  auto key = handler.get_key().find(name);
  if (key == handler.get_key().end() || static_cast<size_t>(key->second) >= row.size()) return std::string();
  return row[key->second];
}

}  // namespace

Backup_Run_Reconciler::Backup_Run_Reconciler(Job& job) : Backup_Executor_Basic(job) {}

Backup_Run_Reconciler::~Backup_Run_Reconciler() = default;

bool Backup_Run_Reconciler::reconcile(const Job::Interrupted_Run& run) {
  const std::string& id = def_.id();
  if (run.run_id.empty()) {
    ACE_ERROR((LM_WARNING,
               "Job %s: the run cut short names no run ID; its backups cannot be told apart and are "
               "left alone\n",
               id.c_str()));
    return true;
  }
  std::shared_ptr<ACE_Thread_Mutex> resource_mutex = Job_Mutex::get(src_->id());
  if (!resource_mutex) return false;
  ACE_Guard<ACE_Thread_Mutex> resource_guard(*resource_mutex);
  if (!resource_guard.locked()) return false;

  ACE_DEBUG((LM_INFO, "Job %s: reconciling run %s, cut short\n", id.c_str(), run.run_id.c_str()));
  if (!init_system_info() || !init_hdbsql()) {
    ACE_ERROR((LM_ERROR, "Job %s: run %s cannot be reconciled, HANA or backupd cannot be reached\n", id.c_str(),
               run.run_id.c_str()));
    return false;
  }
  std::vector<Entry> entries;
  if (!find_entries(run.start_time - kStartSlack, entries)) {
    ACE_ERROR((LM_ERROR, "Job %s: run %s cannot be reconciled, HANA's backup catalog cannot be read\n", id.c_str(),
               run.run_id.c_str()));
    return false;
  }
  bool ok = true;
  for (Entry& entry : entries) ok = reconcile_entry(run.run_id, entry) && ok;
  ACE_DEBUG((LM_INFO, "Job %s: run %s reconciled%s\n", id.c_str(), run.run_id.c_str(),
             ok ? "" : ", some of its backups are kept"));
  return ok;
}

bool Backup_Run_Reconciler::find_entries(std::int64_t since, std::vector<Entry>& entries) {
  const time_t start = static_cast<time_t>(since < 0 ? 0 : since);
  struct tm utc;
  char text[32];
  if (gmtime_r(&start, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc) == 0) return false;
  snprintf_t<4096> sql(
      "select BACKUP_ID, ENTRY_TYPE_NAME, STATE_NAME, COMMENT%s from %s.M_BACKUP_CATALOG where UTC_START_TIME >= '%s' "
      "order by BACKUP_ID",
      mdc_ ? ", DATABASE_NAME" : "", schema(), text);
  HDBSQL_General_Text_Handler handler;
  if (!query_with_retry(sql.c_str(), handler, false)) return false;
  for (const auto& row : handler.get_values()) {
    const std::string comment = column(handler, row, "COMMENT");
    if (!data_backup(column(handler, row, "ENTRY_TYPE_NAME")) || comment.compare(0, 9, kCommentPrefix) != 0) continue;
    Entry entry;
    entry.job_uuid = comment.substr(9);
    if (!uuid_text(entry.job_uuid)) continue;
    entry.backup_id = natoi<ACE_UINT64>(column(handler, row, "BACKUP_ID").c_str());
    entry.state = column(handler, row, "STATE_NAME");
    entry.database = column(handler, row, "DATABASE_NAME");
    if (entry.backup_id != 0) entries.push_back(entry);
  }
  return true;
}

bool Backup_Run_Reconciler::reconcile_entry(const std::string& run_id, Entry& entry) {
  Backint_Backup_Job_Info record;
  if (!backint_helper_.get_job(entry.job_uuid, record)) {
    ACE_DEBUG((LM_INFO, "HANA backup %Q: no backint job %s left, nothing to reconcile\n", entry.backup_id,
               entry.job_uuid.c_str()));
    return true;
  }
  if (record.job_act_id != run_id || record.host_uuid != def_.host_id()) return true;
  if (entry.database.empty()) entry.database = record.database;
  if (entry.state == "running" || entry.state == "cancel pending") {
    if (!cancel_and_wait(entry)) {
      ACE_ERROR((LM_ERROR,
                 "HANA backup %Q of database %s, left running by run %s, still runs; its backint job %s is "
                 "kept\n",
                 entry.backup_id, entry.database.c_str(), run_id.c_str(), entry.job_uuid.c_str()));
      report(run_id, entry, "kept");
      return false;
    }
    ACE_DEBUG((LM_INFO, "HANA backup %Q of database %s, left running by run %s, is %s\n", entry.backup_id,
               entry.database.c_str(), run_id.c_str(), entry.state.c_str()));
    report(run_id, entry, "canceled");
  }
  if (entry.state == "successful") {
    if (!commit(record, entry)) {
      report(run_id, entry, "kept");
      return false;
    }
    ACE_DEBUG((LM_INFO, "HANA backup %Q of database %s, which run %s did not commit, is committed\n", entry.backup_id,
               entry.database.c_str(), run_id.c_str()));
    report(run_id, entry, "committed");
    return true;
  }
  if (!remove_leftovers(record, entry)) {
    report(run_id, entry, "kept");
    return false;
  }
  ACE_DEBUG((LM_INFO, "HANA backup %Q of database %s (%s) of run %s: its objects and backint job %s are removed\n",
             entry.backup_id, entry.database.c_str(), entry.state.c_str(), run_id.c_str(), entry.job_uuid.c_str()));
  report(run_id, entry, "removed");
  return true;
}

bool Backup_Run_Reconciler::cancel_and_wait(Entry& entry) {
  if (entry.state == "running") {
    std::string sql = "BACKUP CANCEL ";
    if (mdc_) sql += "FOR " + entry.database + " ";
    sql += std::to_string(entry.backup_id);
    ACE_DEBUG((LM_INFO, "Cancelling HANA backup %Q of database %s\n", entry.backup_id, entry.database.c_str()));
    // A backup that ended meanwhile refuses the cancel: its state decides.
    if (!hdbsql_.execute(sql)) ACE_ERROR((LM_ERROR, "BACKUP CANCEL of %Q failed\n", entry.backup_id));
  }
  Exponential_Backoff_Iterator it(1, UINT_MAX, 10, false), end;
  for (;;) {
    std::string state;
    if (!get_job_state(entry.backup_id, state)) return false;
    if (state != "running") {
      entry.state = state;
      return true;
    }
    if (it == end || it.cumulation() > static_cast<std::uint64_t>(Stop_Timeouts::kRunCancelWaitSeconds)) return false;
    backoff_sleep(*it);
    ++it;
  }
}

bool Backup_Run_Reconciler::commit(const Backint_Backup_Job_Info& record, const Entry& entry) {
  for (Job_Definition_Subtype level :
       {JOB_DEFINITION_SUBTYPE_FULL, JOB_DEFINITION_SUBTYPE_INCREMENTAL, JOB_DEFINITION_SUBTYPE_CUMULATIVE})
    if (record.type == job_def_subtype_to_string(level)) job_type_ = level;
  // The incarnation is decided against the newest full backup, as in the run.
  if (!get_last_full_backup_id(entry.database, last_full_backup_id_, true)) last_full_backup_id_ = 0;
  HANA_Backup_Set set;
  init_metadata(set);
  set.uuid = entry.job_uuid;
  set.job_act_id = record.job_act_id;
  return record_set(set, entry.job_uuid, entry.database, "Failed to save the catalog of an interrupted run");
}

bool Backup_Run_Reconciler::remove_leftovers(const Backint_Backup_Job_Info& record, const Entry& entry) {
  std::uint64_t total = 0;
  Backup_File_Infos files;
  if (!backint_helper_.get_file_req("uuid=" + entry.job_uuid, total, files)) return false;
  const std::string pool_uuid = record.pool_uuid.empty() ? tgt_.id : record.pool_uuid;
  Client_IO_Ex io;
  if (!connect_pool(pool_uuid, io)) return false;
  bool ok = true;
  for (const Backup_File_Info& file : files) {
    if (file.storage_path.empty() || io.remove(file.storage_path)) continue;
    ACE_ERROR((LM_ERROR, "Failed to remove %s, %s\n", file.storage_path.c_str(), io.error().c_str()));
    ok = false;
  }
  // Objects hana-backint had not registered yet lie in the backup's own
  // directory; nothing above it is ever touched.
  if (plain_component(record.host_uuid) && plain_component(record.landscape_id) && plain_component(entry.database)) {
    const std::string directory =
        record.host_uuid + "/" + record.landscape_id + "/" + entry.database + "/" + std::to_string(entry.backup_id);
    std::vector<std::string> names;
    if (io.get_dir(directory, names, 0)) {
      for (const std::string& name : names)
        if (plain_component(name) && !io.remove(directory + "/" + name)) ok = false;
      if (!io.remove(directory)) ok = false;
    }
  }
  // The record goes last: while it exists, the next start finds the objects
  // again.
  if (!ok) return false;
  return backint_helper_.remove_job(entry.job_uuid);
}

void Backup_Run_Reconciler::report(const std::string& run_id, const Entry& entry, const char* action) {
  alert(kAlertInterruptedRun, 0,
        json_value{{"run", run_id}, {"database", entry.database}, {"backup_id", entry.backup_id}, {"action", action}});
}

}  // namespace sap_hana
