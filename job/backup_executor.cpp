#include "job/backup_executor.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <ctime>
#include <memory>
#include <thread>

#include "agent/backupd/pool_utils.h"
#include "agent/backupset/hana_backup_set.h"
#include "agent/base/exponential_backoff_iterator.h"
#include "agent/base/loose_version.h"
#include "agent/base/natoi.h"
#include "agent/base/snprintf_t.h"
#include "agent/base/time_parse.h"
#include "agent/config/host_manager.h"
#include "agent/http/http_headers.h"
#include "agent/job/job_mutex.h"
#include "agent/job/job_thread_helper.h"
#include "agent/job/stop_timeouts.h"
#include "agent/storage/client_io_ex.h"
#include "common/environ_getter.h"
#include "common/tenant_database_control.h"
#include "common/utils.h"
#include "job/backint_preparer.h"
#include "job/database_lock_manager.h"
#include "job/hdbsql_error_msg_handler.h"

namespace sap_hana {

namespace {

constexpr int kAlertPrepareBackint = 1;
constexpr int kAlertInitHdbsql = 2;
constexpr int kAlertStartTenant = 3;
constexpr int kAlertCollectSource = 5;
constexpr int kAlertRegisterJob = 7;
constexpr int kAlertBackupStatement = 8;
constexpr int kAlertStop = 20;

constexpr unsigned kProgressInterval = 30;  // seconds between reads of M_BACKUP_PROGRESS
constexpr std::uint64_t kStopWaitLimit = Stop_Timeouts::kRunCancelWaitSeconds;
// A run queued behind another one of its resource looks this often whether
// it was stopped meanwhile.
constexpr auto kQueuePoll = std::chrono::milliseconds(200);

std::atomic<unsigned> g_statement_time_limit(HDBSQL_Error_Msg_Handler::kTimeLimit);

bool still_running(const std::string& state) { return state == "running" || state == "cancel pending"; }

/// A name that may stand as one component of a pool path.
bool plain_component(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

Backup_Executor::~Backup_Executor() = default;

void Backup_Executor::statement_time_limit(unsigned seconds) { g_statement_time_limit = seconds; }

bool Backup_Executor::stopping() {
  const Job_State state = act_.state;
  if (state == JOB_STATE_ABORTING) job_.state(JOB_STATE_CANCELING);
  return state == JOB_STATE_CANCELING || state == JOB_STATE_ABORTING;
}

bool Backup_Executor::execute_backup(const Action_Options*) {
  std::shared_ptr<ACE_Thread_Mutex> resource_mutex = Job_Mutex::get(src_->id());
  if (!resource_mutex) return false;
  ACE_Guard<ACE_Thread_Mutex> resource_guard(*resource_mutex, false);
  while (!resource_guard.locked()) {
    // Queued behind another run of the resource: a stop now must end this
    // run before it touches HANA or the pool.
    if (stopping()) {
      ACE_DEBUG((LM_INFO, "Stopped while waiting for another job of resource %s\n", src_->id().c_str()));
      return false;
    }
    std::this_thread::sleep_for(kQueuePoll);
    resource_guard.tryacquire();
  }

  if (!Backint_Preparer(sid_).prepare()) {
    alert(kAlertPrepareBackint, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to prepare backint\n"));
    return false;
  }
  Backup_Source_Collector collector(sid_);
  if (!collector.collect(*src_) || collector.get().empty()) {
    alert(kAlertCollectSource, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to collect backup source\n"));
    return false;
  }
  if (!init_hdbsql()) {
    alert(kAlertInitHdbsql, 0, json_value());
    ACE_ERROR((LM_ERROR, "Failed to init hdbsql for %s %s\n", sid_.c_str(), instance_name_.c_str()));
    return false;
  }
  generate_access_key_file();
  // hana-backint runs as <sid>adm and must reach the file.
  const std::string key_file = access_key_file();
  change_directory_permission(key_file.substr(0, key_file.rfind('/')), 0755);

  evt_handler_.handle_progress(1, 0, 0, 0);
  const unsigned total = static_cast<unsigned>(collector.get().size());
  unsigned current = 0, failed = 0;
  bool canceled = false;
  for (const auto& entry : collector.get()) {
    if (entry.database.empty()) continue;
    ++current;
    if (stopping()) {
      ACE_DEBUG((LM_INFO, "Stopped before the backup of database %s\n", entry.database.c_str()));
      canceled = true;
      break;
    }
    const Outcome outcome = backup_database(entry, current, total);
    if (outcome == OUTCOME_CANCELED) {
      canceled = true;
      break;
    }
    if (outcome == OUTCOME_FAILED) ++failed;
  }
  evt_handler_.summary(json_value{{"databases", databases_}});
  // A stop that came after the last statement still ends the run cancelled.
  if (canceled || stopping()) {
    ACE_DEBUG((LM_INFO, "The data backup was stopped\n"));
    return false;
  }
  if (failed != 0) {
    ACE_ERROR((LM_ERROR, "The backup of %u of %u databases failed\n", failed, current));
    return false;
  }
  evt_handler_.handle_progress(100, 0, 0, 0);
  return true;
}

Backup_Executor::Outcome Backup_Executor::backup_database(const Backup_Source_Collector::Database_Info& entry,
                                                          unsigned current, unsigned total) {
  const std::string& database = entry.database;
  const json_value which = {{"database", database}};
  job_type_ = def_.subtype();
  if (!update_job_type(entry)) {
    ACE_ERROR((LM_ERROR, "Failed to update job info\n"));
    return OUTCOME_FAILED;
  }
  HANA_Backup_Set set;
  init_metadata(set);
  if (Loose_Version(set.system_version) < Loose_Version("1.00.100")) ancient_version_ = true;
  const std::string uuid = set.uuid;
  if (!generate_backint_conf(uuid, database)) {
    alert(kAlertRegisterJob, 0, which);
    ACE_ERROR((LM_ERROR, "Failed to generate backint configure\n"));
    report_database(database, "failed", 0, 0);
    return OUTCOME_FAILED;
  }
  if (mdc_ && database != "SYSTEMDB" && !Tenant_Database_Controller(hdbsql_).start(database)) {
    alert(kAlertStartTenant, 0, which);
    ACE_ERROR((LM_ERROR, "Failed to start tenant database '%s' in '%s'\n", database.c_str(), instance_name_.c_str()));
    backint_helper_.remove_job(uuid);
    report_database(database, "failed", 0, 0);
    return OUTCOME_FAILED;
  }
  if (stopping()) {
    ACE_DEBUG((LM_INFO, "Stopped before the backup of database %s\n", database.c_str()));
    backint_helper_.remove_job(uuid);
    return OUTCOME_CANCELED;
  }
  std::string statement;
  if (!generate_backup_cmd(job_type_, entry.systemdb ? std::string() : database, uuid, statement)) {
    ACE_ERROR((LM_ERROR, "Failed to generate backup cmd\n"));
    backint_helper_.remove_job(uuid);
    report_database(database, "failed", 0, 0);
    return OUTCOME_FAILED;
  }
  ACE_DEBUG((LM_INFO, "Backup database %s in %s\n", database.c_str(), instance_name_.c_str()));

  bool result = false;
  std::atomic<bool> running(true);
  Watch watch;
  const auto began = std::chrono::steady_clock::now();
  {
    Job_Thread_Helper thread(
        Job_var(&job_),
        [this, &statement, &result, &running]() {
          execute_backup_cmd(statement, result);
          running = false;
          return 0;
        },
        Thread_Helper::kJoinable);
    if (thread.spawn() == -1) {
      running = false;
    } else {
      update_progress(running, database, uuid, (current - 1) * 100 / total, current * 100 / total, watch);
      thread.join();
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (!result) {
    const std::string state = end_own_backup(database, uuid, watch);
    if (state == "canceled" || state == "failed" || state.empty()) remove_leftovers(database, uuid, watch.backup_id);
    if (stopping()) {
      ACE_DEBUG((LM_INFO, "The backup of database %s was cancelled\n", database.c_str()));
      report_database(database, "canceled", watch.transferred, seconds);
      return OUTCOME_CANCELED;
    }
    alert(kAlertBackupStatement, 0, which);
    ACE_ERROR((LM_ERROR, "Failed to execute backup of database %s\n", database.c_str()));
    report_database(database, "failed", watch.transferred, seconds);
    return OUTCOME_FAILED;
  }
  if (!record_set(set, uuid, database, "Failed to save catalog")) {
    report_database(database, "failed", 0, seconds);
    return OUTCOME_FAILED;
  }
  report_database(database, "success", set.source_size, seconds);
  return OUTCOME_DONE;
}

void Backup_Executor::report_database(const std::string& database, const char* outcome, std::uint64_t bytes,
                                      double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
  ACE_DEBUG((LM_INFO, "Database %s: %s, %Q bytes in %.1f seconds, %.2f MB/s\n", database.c_str(), outcome,
             static_cast<ACE_UINT64>(bytes), seconds, rate));
  databases_.push_back(json_value{{"database", database},
                                  {"outcome", outcome},
                                  {"bytes", bytes},
                                  {"seconds", static_cast<double>(static_cast<std::int64_t>(seconds * 1000)) / 1000},
                                  {"mb_per_second", static_cast<double>(static_cast<std::int64_t>(rate * 100)) / 100}});
}

bool Backup_Executor::generate_backint_conf(const std::string& uuid, const std::string& database) {
  if (uuid.empty()) {
    ACE_ERROR((LM_ERROR, "Uuid is empty\n"));
    return false;
  }
  Backint_Backup_Job_Info record;
  record.uuid = uuid;
  record.host_uuid = def_.host_id();
  record.location = tgt_.location;
  record.job_act_id = evt_handler_.job_act_id();
  record.database = database;
  record.type = job_def_subtype_to_string(job_type_);
  record.sid = sid_;
  const char* compression = compression_value_to_name(compression_);
  record.compression = compression ? compression : "";
  record.compression_level = compression_level_;
  record.database_backup_id = 0;
  record.pool_uuid = tgt_.id;
  if (!Environ_Getter::get_landscape_id(sid_.c_str(), record.landscape_id)) {
    ACE_ERROR((LM_ERROR, "Failed to get landscape ID\n"));
    return false;
  }
  json_value io_ctl = {{"max_seconds_retry", def_.max_seconds_retry()},
                       {"resumption_buffer_size", def_.resumption_buffer_size()},
                       {"server_side_dedup", def_.server_side_dedup()}};
  def_.rate_limits().to_json_in_object(io_ctl, false);
  record.extended_attrs = json_value{{"io_ctl", io_ctl}};
  return backint_helper_.add_job(record);
}

bool Backup_Executor::generate_backup_cmd(Job_Definition_Subtype level, const std::string& database,
                                          const std::string& uuid, std::string& statement) {
  if (level == JOB_DEFINITION_SUBTYPE_NONE) return false;
  std::string part;
  if (!database.empty() && mdc_) part = "FOR " + database;
  const char* word = level == JOB_DEFINITION_SUBTYPE_INCREMENTAL  ? "INCREMENTAL "
                     : level == JOB_DEFINITION_SUBTYPE_CUMULATIVE ? "DIFFERENTIAL "
                                                                  : "";
  // The COMMENT lets this run, and only this run, find its backup in HANA's
  // catalog (to cancel it), and the next agent find a backup that a run cut
  // short left running.
  statement = snprintf_t<4096>("BACKUP DATA %s %s USING BACKINT('%s') TOOLOPTION 'job_uuid=%s;' COMMENT 'job_uuid=%s'",
                               word, part.c_str(), uuid.c_str(), uuid.c_str(), uuid.c_str())
                  .c_str();
  return true;
}

bool Backup_Executor::update_job_type(const Backup_Source_Collector::Database_Info& entry) {
  if (job_type_ != JOB_DEFINITION_SUBTYPE_INCREMENTAL && job_type_ != JOB_DEFINITION_SUBTYPE_CUMULATIVE) return true;
  const std::string& database = entry.database;
  json_value full;
  if (!get_last_full_backup_id(database, last_full_backup_id_, true) ||
      !get_backup_sets(database, last_full_backup_id_, full) || !full.value("state", false)) {
    ACE_DEBUG((LM_INFO, "Failed to get full backup, set job type to full\n"));
    job_type_ = JOB_DEFINITION_SUBTYPE_FULL;
    return true;
  }
  auto pool = full.find("pool_uuid");
  if (pool == full.end() || !pool->is_string() || pool->get<std::string>() != tgt_.id) {
    ACE_DEBUG((LM_INFO, "Storage pool is changed, set job type to full\n"));
    job_type_ = JOB_DEFINITION_SUBTYPE_FULL;
    return true;
  }
  time_t full_start = 0, restore = 0;
  auto start = full.find("start_time");
  if (start == full.end() || !start->is_string() ||
      !iso8601_to_posix_time(start->get<std::string>().c_str(), full_start) || !get_last_restore(database, restore) ||
      restore > full_start) {
    ACE_DEBUG((LM_INFO, "Database has been restored, set job type to full\n"));
    job_type_ = JOB_DEFINITION_SUBTYPE_FULL;
  }
  return true;
}

bool Backup_Executor::execute_backup_cmd(const std::string& statement, bool& result) {
  job_.set_job_thread();
  // The job thread reads the progress meanwhile: an executor serves one
  // thread at a time, so the statement gets a copy of its own.
  const HDBSQL_Executor hdbsql = hdbsql_;
  HDBSQL_Error_Msg_Handler handler;
  handler.time_limit(g_statement_time_limit);
  result = hdbsql.execute(statement, &handler);
  if (!result && !handler.errors().empty()) ACE_ERROR((LM_ERROR, "HANA: %s\n", handler.errors().c_str()));
  if (!result && handler.is_canceled()) job_.state(JOB_STATE_CANCELING);
  return result;
}

bool Backup_Executor::update_progress(const std::atomic<bool>& running, const std::string& database,
                                      const std::string& uuid, unsigned min, unsigned max, Watch& watch) {
  evt_handler_.handle_progress(static_cast<int>(min), 0, 0, 0);
  unsigned previous = min;
  const time_t since = std::time(nullptr);
  while (running) {
    ACE_UINT64 size = 0, transferred = 0;
    if (get_backup_size(database, size, transferred, since) && size != 0) {
      watch.transferred = transferred;
      std::uint64_t progress = min + (transferred * 100 / size) * (max - min) / 100;
      if (progress > max) progress = max;
      if (progress != previous) {
        evt_handler_.handle_progress(static_cast<int>(progress), 0, 0, 0);
        previous = static_cast<unsigned>(progress);
      }
    }
    // Wakes up once a second to notice the statement's end, or a stop,
    // without waiting out the whole interval.
    for (unsigned i = 0; i < kProgressInterval && running; ++i) {
      if (!watch.cancel_sent && stopping()) cancel_own_backup(database, uuid, watch);
      backoff_sleep(1);
    }
  }
  evt_handler_.handle_progress(static_cast<int>(max), 0, 0, 0);
  return true;
}

bool Backup_Executor::get_backup_size(const std::string& database, ACE_UINT64& size, ACE_UINT64& transferred,
                                      time_t since) {
  if (ancient_version_) return false;
  std::string condition;
  if (mdc_) condition = "where DATABASE_NAME='" + database + "'";
  snprintf_t<4096> sql(
      "select TO_VARCHAR(UTC_START_TIME, 'YYYY-MM-DD HH24:MI:SS') as START_TIME, BACKUP_SIZE,TRANSFERRED_SIZE from "
      "%s.M_BACKUP_PROGRESS %s",
      schema(), condition.c_str());
  size = transferred = 0;
  HDBSQL_General_Text_Handler handler;
  if (!hdbsql_.execute(sql.c_str(), &handler) || handler.get_values().empty()) return false;
  const auto& keys = handler.get_key();
  auto k_start = keys.find("START_TIME"), k_size = keys.find("BACKUP_SIZE"), k_done = keys.find("TRANSFERRED_SIZE");
  if (k_start == keys.end() || k_size == keys.end() || k_done == keys.end()) return false;
  for (const auto& row : handler.get_values()) {
    time_t start = 0;
    const std::string& text = row[k_start->second];
    if (text.empty() || !iso8601_to_posix_time(text.c_str(), start) || start < since) continue;
    size += natoi<ACE_UINT64>(row[k_size->second].c_str());
    transferred += natoi<ACE_UINT64>(row[k_done->second].c_str());
  }
  return size != 0 && transferred != 0;
}

bool Backup_Executor::cancel_database_job(const std::string& database, ACE_UINT64 backup_id) {
  std::string sql = "BACKUP CANCEL ";
  if (mdc_) sql += "FOR " + database + " ";
  sql += std::to_string(backup_id);
  return hdbsql_.execute(sql);
}

bool Backup_Executor::find_own_backup(const std::string& database, const std::string& uuid, ACE_UINT64& backup_id,
                                      std::string& state) {
  std::string condition;
  if (mdc_) condition = " and DATABASE_NAME='" + database + "'";
  snprintf_t<4096> sql(
      "select BACKUP_ID, STATE_NAME, SYS_END_TIME from %s.M_BACKUP_CATALOG where COMMENT='job_uuid=%s'%s "
      "order by BACKUP_ID desc limit 1",
      schema(), uuid.c_str(), condition.c_str());
  HDBSQL_General_Text_Handler handler;
  if (!hdbsql_.execute(sql.c_str(), &handler) || handler.get_values().empty()) return false;
  const auto& keys = handler.get_key();
  auto k_id = keys.find("BACKUP_ID"), k_state = keys.find("STATE_NAME"), k_end = keys.find("SYS_END_TIME");
  if (k_id == keys.end() || k_state == keys.end() || k_end == keys.end()) return false;
  const auto& row = handler.get_values().back();
  backup_id = natoi<ACE_UINT64>(row[k_id->second].c_str());
  if (backup_id == 0) return false;
  state = row[k_end->second] == "?" ? "running" : row[k_state->second];
  return true;
}

void Backup_Executor::cancel_own_backup(const std::string& database, const std::string& uuid, Watch& watch) {
  std::string state;
  // HANA lists the backup a moment after the statement began: until then
  // there is nothing to cancel, and the next tick looks again.
  if (!find_own_backup(database, uuid, watch.backup_id, state)) return;
  watch.cancel_sent = true;
  if (!still_running(state)) return;
  ACE_DEBUG((LM_INFO, "Try to stop database %s backup job with backup id %Q\n", database.c_str(), watch.backup_id));
  if (!cancel_database_job(database, watch.backup_id)) {
    alert(kAlertStop, 0, json_value{{"database", database}});
    ACE_ERROR((LM_ERROR, "Failed to cancel backup job for database %s with backup id %Q\n", database.c_str(),
               watch.backup_id));
  }
}

std::string Backup_Executor::end_own_backup(const std::string& database, const std::string& uuid, Watch& watch) {
  std::string state;
  bool found = false;
  // The statement's end may come before HANA's catalog shows the backup's.
  for (Exponential_Backoff_Iterator it(1, 10, 2, false), end; it != end && !found; ++it) {
    found = find_own_backup(database, uuid, watch.backup_id, state);
    if (!found) backoff_sleep(*it);
  }
  if (!found) return std::string();
  if (still_running(state) && !watch.cancel_sent) {
    // hdbsql was ended (its time limit) while HANA goes on: the backup must
    // not go on without anyone to record it.
    ACE_ERROR((LM_ERROR, "The statement of database %s ended while HANA's backup %Q still runs: cancelling it\n",
               database.c_str(), watch.backup_id));
    watch.cancel_sent = true;
    if (!cancel_database_job(database, watch.backup_id)) {
      alert(kAlertStop, 0, json_value{{"database", database}});
      ACE_ERROR((LM_ERROR, "Failed to cancel backup job for database %s with backup id %Q\n", database.c_str(),
                 watch.backup_id));
      return state;
    }
  }
  int attempt = 0;
  for (Exponential_Backoff_Iterator it(1, UINT_MAX, 10, true), end; still_running(state);) {
    if (it == end || it.cumulation() > kStopWaitLimit) {
      ACE_DEBUG((LM_INFO, "Failed to stop database %s backup job with backup id %Q, state is %s\n", database.c_str(),
                 watch.backup_id, state.c_str()));
      break;
    }
    ACE_DEBUG((LM_INFO, ACE_TEXT("Retry(%d) %N:%l at %u second(s) later.\n"), ++attempt, *it));
    backoff_sleep(*it);
    ++it;
    if (!get_job_state(watch.backup_id, state)) {
      ACE_ERROR((LM_ERROR, "Failed to get state of backup job %Q\n", watch.backup_id));
      break;
    }
  }
  return state;
}

void Backup_Executor::remove_leftovers(const std::string& database, const std::string& uuid, ACE_UINT64 backup_id) {
  if (backup_id != 0) {
    std::string landscape_id;
    Client_IO_Ex io;
    if (!Environ_Getter::get_landscape_id(sid_.c_str(), landscape_id)) {
      ACE_ERROR((LM_ERROR, "Failed to get landscape ID\n"));
    } else if (connect_pool(tgt_.id, io)) {
      remove_data_set(io, landscape_id, database, backup_id);
    }
  }
  // No set will name these objects: the record must not outlive them.
  if (!backint_helper_.remove_job(uuid)) ACE_ERROR((LM_ERROR, "Failed to remove backint job %s\n", uuid.c_str()));
}

void Backup_Executor::remove_data_set(Client_IO_Ex& io, const std::string& landscape_id, const std::string& database,
                                      ACE_UINT64 backup_id) {
  // Only ever the directory hana-backint made for this backup: a wrong or
  // empty component must not turn the removal onto anything above it.
  if (!plain_component(def_.host_id()) || !plain_component(landscape_id) || !plain_component(database) ||
      backup_id == 0) {
    ACE_ERROR((LM_ERROR, "Failed to remove dataset of database %s backup %Q, its directory is not known\n",
               database.c_str(), backup_id));
    return;
  }
  const std::string directory = snprintf_t<256>("%s/%s/%s/%llu", def_.host_id().c_str(), landscape_id.c_str(),
                                                database.c_str(), static_cast<unsigned long long>(backup_id))
                                    .c_str();
  std::vector<std::string> entries;
  if (!io.get_dir(directory, entries, 0)) {
    ACE_ERROR((LM_ERROR, "Failed to list directory %s, %s\n", directory.c_str(), io.error().c_str()));
    return;
  }
  for (const std::string& entry : entries) {
    if (!plain_component(entry)) continue;
    const std::string path = directory + "/" + entry;
    if (!io.remove(path)) ACE_ERROR((LM_ERROR, "Failed to remove dataset %s, %s\n", path.c_str(), io.error().c_str()));
  }
  if (!io.remove(directory))
    ACE_ERROR((LM_ERROR, "Failed to remove dataset %s, %s\n", directory.c_str(), io.error().c_str()));
}

}  // namespace sap_hana
