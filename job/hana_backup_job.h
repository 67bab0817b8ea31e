#ifndef SAP_HANA_HANA_BACKUP_JOB_H
#define SAP_HANA_HANA_BACKUP_JOB_H

#include "job/backup_executor.h"
#include "job/controllable_job_t.h"

namespace sap_hana {

/// The HANA data backup job (full, incremental, differential).
///
/// A stop records CANCELING, as for every controllable job: refused (-1,
/// EBUSY) when no run is open, so a stop of an idle job touches nothing. The
/// run honours it (Backup_Executor): a queued run ends before it starts, a
/// running statement has its own HANA backup cancelled, and the run ends
/// cancelled. HANA cannot pause a data backup: pause is refused (-1,
/// ENOTSUP) and the run goes on.
class HANA_Backup_Job : public Controllable_Job_T<Backup_Executor> {
 public:
  explicit HANA_Backup_Job(Job_Definition_var definition) : Controllable_Job_T<Backup_Executor>(definition) {}
  ~HANA_Backup_Job() override;

  int pause_i(const Action_Options* options) override;
  /// Starts a detached thread (holding a reference to the job) that cleans
  /// up after the interrupted run (Backup_Run_Reconciler); -1 when the
  /// thread cannot be started.
  int reconcile_i(const Interrupted_Run& run) override;
};

}  // namespace sap_hana

#endif
