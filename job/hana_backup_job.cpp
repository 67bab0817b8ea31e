#include "job/hana_backup_job.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include <new>

#include "agent/base/thread_helper.h"
#include "job/backup_run_reconciler.h"
#include "job/run_options.h"

namespace sap_hana {

HANA_Backup_Job::~HANA_Backup_Job() = default;

int HANA_Backup_Job::stop_i(const Action_Options*) {
  Run_Options* opt = new (std::nothrow) Run_Options;
  if (opt == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, opt is NULL:\n%?\n")));
    return -1;
  }
  opt->job = Job_var(this);
  if (ACE_Thread_Manager::instance()->spawn(&HANA_Backup_Job::stop_backup, opt, Thread_Helper::kDetached, &thr_id_) ==
      -1) {
    delete opt;
    return -1;
  }
  return 0;
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

ACE_THR_FUNC_RETURN HANA_Backup_Job::stop_backup(void* arg) {
  Run_Options* opt = static_cast<Run_Options*>(arg);
  {
    Backup_Executor executor(*opt->job);
    executor.stop();
  }
  delete opt;
  return 0;
}

}  // namespace sap_hana
