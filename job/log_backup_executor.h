#ifndef SAP_HANA_LOG_BACKUP_EXECUTOR_H
#define SAP_HANA_LOG_BACKUP_EXECUTOR_H

#include <ace/Basic_Types.h>

#include <string>
#include <vector>

#include "job/backup_executor_basic.h"

namespace sap_hana {

/// The on-demand log backup job. HANA backs up its logs and its backup
/// catalog by itself through hana-backint; this executor sets that up and
/// records what hana-backint reported.
///
/// setup_ondemand(): writes the ondemand configuration file of the job's
/// only database (or of the instance, for an entry without one) into the
/// HANA work directory, group sapsys, mode 0640, its directory traversable
/// (0755), and switches HANA to automatic log and catalog backups through
/// backint (log mode normal). A file of this definition already there
/// (names with a "." are renamed leftovers and never count) makes it a
/// no-op; a file of another definition at the same path is renamed with a
/// time suffix and replaced. A source of several databases is refused and
/// writes nothing.
///
/// remove_ondemand(): removes the files of this definition and, when no
/// ondemand file of any log backup job remains, switches HANA's automatic
/// log and catalog backups through backint off (the log mode stays).
///
/// execute_backup(): the run's options carry "backint_job_uuid" (one UUID)
/// or "backint_job_uuids" (a string holding a JSON array of UUIDs). For each
/// in order: read the backint job record, start its tenant when it is
/// stopped (under the database's control lock), wait until HANA has ended
/// that backup, then, under the database's update lock, complete the backup
/// set from the backint catalog, commit it, and remove the backint job
/// record. Progress 1, then i*100/n after each UUID, then 100. The run
/// succeeds only when every UUID was recorded; each one that was not is
/// logged and alerted, and the others are still handled. A stop or abort of
/// the job ends the waiting and leaves the remaining UUIDs unhandled.
///
/// Only a backup that HANA's catalog reports "successful" becomes a set.
/// One that HANA failed or canceled is logged with HANA's MESSAGE and
/// alerted (11); its pool objects and then its backint job are removed,
/// since HANA never reads it again (a job whose objects could not all be
/// removed is kept). One that HANA did not confirm (catalog unreadable,
/// HANA down, the wait ended, the job stopped) is logged and alerted the
/// same way, and its backint job and objects are kept as hana-backint left
/// them: HANA may still end it successfully, and hana-backint finds its
/// objects through that record.
///
/// Waiting for HANA (wait_backint_job) is bounded: on a running instance it
/// polls HANA's backup catalog every 10 seconds and, after 600 seconds,
/// gives up once no hana-backint of this backup ("-s <backup id>") has been
/// seen for more than 180 seconds since the start; on a stopped instance it
/// waits for this backup's hana-backint to end, at most 180 seconds, and
/// then asks HANA's catalog only when the instance runs again.
///
/// setup_ondemand() fails (alert 14) when HANA's settings could not be
/// switched (node not active, hdbsql unusable, an ALTER SYSTEM failing);
/// the ondemand file then stays, and a later setup of the same definition
/// switches HANA again instead of returning at once. remove_ondemand()
/// reports a switch-off that failed the same way.
///
/// Every failure is a false result with an error line and, where the
/// operations say so, a job alert. One executor per thread.
class Log_Backup_Executor : public Backup_Executor_Basic {
 public:
  explicit Log_Backup_Executor(Job& job) : Backup_Executor_Basic(job) {}
  ~Log_Backup_Executor() override;

  bool setup_ondemand() override;
  bool remove_ondemand() override;

 protected:
  bool execute_backup(const Action_Options* options) override;

  /// HANA's last word on one of its backups, from its backup catalog.
  enum class Hana_Outcome {
    SUCCESSFUL,  ///< "successful": the backup may become a set
    FAILED,      ///< "failed" or "canceled": HANA never uses the backup
    UNCONFIRMED  ///< no final state: catalog unreadable, HANA down, wait ended, job stopping
  };

  /// Waits for HANA's backup `catalog_uuid` names and commits its set.
  bool handle_backint_catalog(const std::string& catalog_uuid);
  /// Waits until HANA ends backup `database_backup_id`; `state` is the last
  /// state HANA's catalog gave ("" when none).
  Hana_Outcome wait_backint_job(ACE_UINT64 database_backup_id, std::string& state);
  /// HANA's MESSAGE on backup `database_backup_id`; "" when unreadable.
  std::string hana_message(ACE_UINT64 database_backup_id);
  /// Removes the pool objects of backint job `job`, then the job itself;
  /// keeps the job when an object could not be removed.
  void discard_backup(const Backint_Backup_Job_Info& job);
  bool generate_log_conf_file(const std::string& database);
  /// True when there is no file or this definition's was unlinked.
  bool remove_conf_file(const std::string& database);
  bool change_active_file_group();
  /// Both true only when HANA's settings are as wanted: the node is active,
  /// hdbsql is usable and every value is set or already was.
  bool enable_log_backup();
  bool disable_log_backup();
  /// enable_log_backup(), with alert 14 and a message when it fails.
  bool switch_log_backup_on();

  /// The UUIDs of a run's options, in order; empty when there are none.
  static std::vector<std::string> backint_job_uuids(const Action_Options& options);
  /// A stop or abort was asked for.
  bool stopping() const;
  /// The work directory holds an ondemand file of this definition.
  bool already_set_up();
  /// The work directory holds an ondemand file of any log backup job.
  bool any_log_backup_file();
  /// The running hana-backint processes of backup `database_backup_id`;
  /// -1 when the processes cannot be listed.
  static int count_backint_processes(ACE_UINT64 database_backup_id);
};

}  // namespace sap_hana

#endif
