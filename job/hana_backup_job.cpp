#include "job/hana_backup_job.h"

#include <ace/Log_Msg.h>

#include <cerrno>

namespace sap_hana {

HANA_Backup_Job::~HANA_Backup_Job() = default;

int HANA_Backup_Job::pause_i(const Action_Options*) {
  ACE_DEBUG((LM_INFO, "Job %s: a HANA data backup cannot be paused; stop it instead\n", definition().id().c_str()));
  errno = ENOTSUP;
  return -1;
}

}  // namespace sap_hana
