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

/// Runs a HANA data backup job (full, incremental or differential) and its
/// stop.
///
/// The run (execute_backup, on the job thread, holding the resource's
/// Job_Mutex): places the hana-backint link, collects the databases, and for
/// each entry naming a database, in order: checks the level (an incremental
/// or differential backup without a usable full one, on another pool, or
/// after a restore runs as full), registers a backint job record under the
/// set's UUID ("io_ctl" carrying the transfer settings and rate limits),
/// starts a stopped tenant, runs BACKUP DATA ... USING BACKINT on a statement
/// thread while reporting HANA's progress (M_BACKUP_PROGRESS, at most every
/// 30 seconds; never before 1.00.100), then, under the database's update
/// lock, completes the set from the backint catalog, commits it, and removes
/// the backint job record. The first failure ends the run (with its alert);
/// sets already committed stay. A statement that HANA ends with "Backup was
/// canceled by user" moves the job to CANCELING, so the run ends cancelled.
///
/// The stop (stop, on a stop thread with its own executor): cancels every
/// running backup of the job's databases in HANA (BACKUP CANCEL), waits for
/// each to end (at most about five minutes), and removes what a cancelled or
/// failed one left in the pool: only the entries of its data set directory
/// "<host id>/<landscape id>/<database>/<backup id>" and that directory.
/// False (alert 20) when nothing was running or a step failed.
class Backup_Executor : public Backup_Executor_Basic {
 public:
  explicit Backup_Executor(Job& job) : Backup_Executor_Basic(job) {}
  ~Backup_Executor() override;

  bool stop();

 protected:
  bool execute_backup(const Action_Options* options) override;

  bool generate_backint_conf(const std::string& uuid, const std::string& database);
  bool generate_backup_cmd(Job_Definition_Subtype level, const std::string& database, const std::string& uuid,
                           std::string& statement);
  bool update_job_type(const Backup_Source_Collector::Database_Info& entry);
  bool execute_backup_cmd(const std::string& statement, bool& result);
  bool update_progress(const std::atomic<bool>& running, const std::string& database, unsigned min, unsigned max);
  bool get_backup_size(const std::string& database, ACE_UINT64& size, ACE_UINT64& transferred, time_t since);
  bool stop_i(std::string& database);
  bool cancel_database_job(const std::string& database, ACE_UINT64 backup_id);
  /// Removes the data set of a cancelled backup from the pool.
  void remove_data_set(Client_IO_Ex& io, const std::string& landscape_id, const std::string& database,
                       ACE_UINT64 backup_id);

  bool ancient_version_ = false;
};

}  // namespace sap_hana

#endif
