#ifndef SAP_HANA_BACKUP_EXECUTOR_H
#define SAP_HANA_BACKUP_EXECUTOR_H

#include <atomic>
#include <map>
#include <string>

#include "job/backup_executor_basic.h"
#include "job/backup_source_collector.h"

class Thread_Helper;
class Client_IO_Ex;

namespace sap_hana {

/// Runs a HANA data backup job (full, incremental or differential).
///
/// The run (execute_backup, on the job thread, holding the resource's
/// Job_Mutex; a run queued behind another one of the resource ends cancelled,
/// touching nothing, when it is stopped while it waits): places the
/// hana-backint link, collects the databases, and for each entry naming a
/// database, in order: checks the level (an incremental or differential
/// backup without a usable full one, on another pool, or after a restore runs
/// as full), registers a backint job record under the set's UUID ("io_ctl"
/// carrying the transfer settings and rate limits), starts a stopped tenant,
/// runs BACKUP DATA ... USING BACKINT ... COMMENT 'job_uuid=<uuid>' on a
/// statement thread while reporting HANA's progress (M_BACKUP_PROGRESS, at
/// most every 30 seconds; never before 1.00.100), then, under the database's
/// update lock, completes the set from the backint catalog, commits it, and
/// removes the backint job record.
///
/// Outcome: a database that fails (its registration, tenant start, statement
/// or set) is logged and alerted with its name, and the run goes on with the
/// next one; the run then ends failed, never success. Each database's
/// outcome, bytes, seconds and MB/s are logged and go into the run's end
/// report ("databases").
///
/// Stop: the job's CANCELING (or ABORTING) state is the request. The run
/// honours it at its next step: before a database, after a tenant start,
/// after a set commit; while a statement runs, by cancelling its own HANA
/// backup, found by the COMMENT only this run gave it (BACKUP CANCEL <id>).
/// The run then ends cancelled. A backup HANA cancelled (a stop, the user)
/// or failed leaves nothing: once HANA's catalog says it ended, the objects
/// of its data set directory "<host id>/<landscape id>/<database>/<backup
/// id>" and its backint job record are removed. A statement that ends while
/// HANA's backup still runs (its time limit killed hdbsql) gets its backup
/// cancelled in HANA the same way.
class Backup_Executor : public Backup_Executor_Basic {
 public:
  explicit Backup_Executor(Job& job) : Backup_Executor_Basic(job) {}
  ~Backup_Executor() override;

  /// Seconds a BACKUP statement may run before hdbsql is ended and HANA's
  /// backup cancelled; HDBSQL_Error_Msg_Handler::kTimeLimit unless changed
  /// (for tests). Process-wide.
  static void statement_time_limit(unsigned seconds);

 protected:
  enum Outcome { OUTCOME_DONE, OUTCOME_FAILED, OUTCOME_CANCELED };
  /// What the run knows of one database's HANA backup while it runs.
  struct Watch {
    ACE_UINT64 backup_id = 0;
    bool cancel_sent = false;
    ACE_UINT64 transferred = 0;
  };

  bool execute_backup(const Action_Options* options) override;

  /// One database: registration to commit. Raises its own alerts.
  Outcome backup_database(const Backup_Source_Collector::Database_Info& entry, unsigned current, unsigned total);
  bool generate_backint_conf(const std::string& uuid, const std::string& database);
  bool generate_backup_cmd(Job_Definition_Subtype level, const std::string& database, const std::string& uuid,
                           std::string& statement);
  bool update_job_type(const Backup_Source_Collector::Database_Info& entry);
  bool execute_backup_cmd(const std::string& statement, bool& result);
  bool update_progress(const std::atomic<bool>& running, const std::string& database, const std::string& uuid,
                       unsigned min, unsigned max, Watch& watch);
  bool get_backup_size(const std::string& database, ACE_UINT64& size, ACE_UINT64& transferred, time_t since);
  bool cancel_database_job(const std::string& database, ACE_UINT64 backup_id);

  /// A stop was asked for (CANCELING, or ABORTING, which becomes CANCELING).
  bool stopping();
  /// The backup this run started for `uuid`, by its COMMENT: its ID and
  /// state ("running" while SYS_END_TIME is "?"). False when HANA has none
  /// (yet) or the query failed.
  bool find_own_backup(const std::string& database, const std::string& uuid, ACE_UINT64& backup_id, std::string& state);
  /// During the statement: cancels the run's own backup once HANA lists it.
  void cancel_own_backup(const std::string& database, const std::string& uuid, Watch& watch);
  /// After a failed statement: HANA's backup ended (cancelled when it still
  /// ran); its final state, empty when HANA never started one.
  std::string end_own_backup(const std::string& database, const std::string& uuid, Watch& watch);
  /// Removes what a backup that HANA ended without success left: its data
  /// set in the pool and the backint job record.
  void remove_leftovers(const std::string& database, const std::string& uuid, ACE_UINT64 backup_id);
  /// Removes the data set of a backup from the pool.
  void remove_data_set(Client_IO_Ex& io, const std::string& landscape_id, const std::string& database,
                       ACE_UINT64 backup_id);
  /// Logs one database's result and keeps it for the end report.
  void report_database(const std::string& database, const char* outcome, std::uint64_t bytes, double seconds);

  bool ancient_version_ = false;
  json_value databases_ = json_value::array();
};

}  // namespace sap_hana

#endif
