#include "job/hana_job_creator.h"

#include <ace/Log_Msg.h>

#include <cerrno>

namespace sap_hana {

HANA_Job_Creator::~HANA_Job_Creator() = default;

void* HANA_Job_Creator::create(int type) {
  ACE_ERROR((LM_ERROR, "HANA jobs are not supported by this plug-in version (job type %d)\n", type));
  errno = ENOTSUP;
  return nullptr;
}

}  // namespace sap_hana
