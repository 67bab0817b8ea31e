#ifndef SAP_HANA_HANA_BACKUP_JOB_H
#define SAP_HANA_HANA_BACKUP_JOB_H

#include "job/backup_executor.h"
#include "job/controllable_job_t.h"

namespace sap_hana {

/// The HANA data backup job (full, incremental, differential).
///
/// Its stop differs from other controllable jobs: stop_i() does not record
/// CANCELING; it starts a detached stop thread (holding a reference to the
/// job) that cancels HANA's running backups through Backup_Executor::stop(),
/// and returns 0 at once (-1 when the thread cannot be started). The job
/// stays running while HANA cancels; the run then ends cancelled when HANA
/// reports the cancellation, or failed.
class HANA_Backup_Job : public Controllable_Job_T<Backup_Executor> {
 public:
  explicit HANA_Backup_Job(Job_Definition_var definition) : Controllable_Job_T<Backup_Executor>(definition) {}
  ~HANA_Backup_Job() override;

  int stop_i(const Action_Options* options) override;
  /// Starts a detached thread (holding a reference to the job) that cleans
  /// up after the interrupted run (Backup_Run_Reconciler); -1 when the
  /// thread cannot be started.
  int reconcile_i(const Interrupted_Run& run) override;

 private:
  static ACE_THR_FUNC_RETURN stop_backup(void* arg);
};

}  // namespace sap_hana

#endif
