#include "job/hana_backup_job.h"

#include <ace/Log_Msg.h>

#include <cerrno>

#include "agent/base/thread_helper.h"
#include "job/backup_run_reconciler.h"

namespace sap_hana {

HANA_Backup_Job::~HANA_Backup_Job() = default;

int HANA_Backup_Job::pause_i(const Action_Options*) {
  ACE_DEBUG((LM_INFO, "Job %s: a HANA data backup cannot be paused; stop it instead\n", definition().id().c_str()));
  errno = ENOTSUP;
  return -1;
}

int HANA_Backup_Job::reconcile_i(const Interrupted_Run& run) {
  Job_var self(this);
  Thread_Helper helper(
      [self, run]() {
        Backup_Run_Reconciler(*self).reconcile(run);
        return 0;
      },
      Thread_Helper::kDetached);
  return helper.spawn() == -1 ? -1 : 0;
}

}  // namespace sap_hana
