#ifndef SAP_HANA_BACKUP_RUN_RECONCILER_H
#define SAP_HANA_BACKUP_RUN_RECONCILER_H

#include <ace/Basic_Types.h>

#include <string>
#include <vector>

#include "job/backup_executor_basic.h"

namespace sap_hana {

/// Cleans up after a data backup run that an earlier agent left open (the
/// agent was killed, or gave up waiting for the run while stopping).
///
/// What belongs to the run is decided conservatively, from three records
/// that must agree: HANA's backup catalog (data backups that began at or
/// after the run's start, less a minute, whose COMMENT is
/// "job_uuid=<backint job UUID>", as every data backup statement of a run
/// says), and the backint job of that UUID on the server, whose host is
/// this job's host and whose "job_act_id" is the interrupted run's ID. A
/// backup whose backint job is gone was committed or cleaned up already;
/// anything else (another run's backup, one made without the agent) is
/// left alone. Then, per backup:
/// - still running in HANA: BACKUP CANCEL, and the end awaited for up to
///   Stop_Timeouts::kRunCancelWaitSeconds; one that still runs is kept as
///   it is (logged and alerted) for the next start;
/// - ended successful: its set was never committed; it is committed now
///   from the backint job (as the run would have), which removes the job;
/// - ended otherwise (canceled, failed): its objects in the pool (those the
///   backint job lists, then whatever is left in the backup's directory)
///   and its backint job are removed.
/// Every action is logged in the agent's log and raised as job alert 21
/// {"run", "database", "backup_id", "action"} with action "canceled",
/// "committed", "removed" or "kept". A run that names no ID (a record of an
/// older agent) is only logged.
///
/// Holds the resource's Job_Mutex throughout, so a new run of the same
/// resource waits for the clean-up instead of meeting a backup still being
/// cancelled. One thread; the job must outlive the object.
class Backup_Run_Reconciler : public Backup_Executor_Basic {
 public:
  explicit Backup_Run_Reconciler(Job& job);
  ~Backup_Run_Reconciler() override;

  /// False (logged) when HANA's catalog or the server could not be read, or
  /// some backup of the run could not be cleaned up.
  bool reconcile(const Job::Interrupted_Run& run);

 protected:
  bool execute_backup(const Action_Options*) override { return false; }

 private:
  struct Entry {
    ACE_UINT64 backup_id = 0;
    std::string database;
    std::string state;
    std::string job_uuid;
  };

  bool find_entries(std::int64_t since, std::vector<Entry>& entries);
  bool reconcile_entry(const std::string& run_id, Entry& entry);
  /// Cancels a running backup and waits for its end; `entry.state` is the
  /// last state read.
  bool cancel_and_wait(Entry& entry);
  bool commit(const Backint_Backup_Job_Info& record, const Entry& entry);
  bool remove_leftovers(const Backint_Backup_Job_Info& record, const Entry& entry);
  void report(const std::string& run_id, const Entry& entry, const char* action);
};

}  // namespace sap_hana

#endif
