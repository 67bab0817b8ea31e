#include "job/hana_job_creator.h"

#include <ace/Log_Msg.h>

#include "job/controllable_job_t.h"
#include "job/hana_backup_job.h"
#include "job/restore_executor.h"

namespace sap_hana {

HANA_Job_Creator::~HANA_Job_Creator() = default;

Job_var HANA_Job_Creator::create(Job_Definition_var definition) {
  if (!definition) return Job_var();
  const Job_Definition_Subtype subtype = definition->subtype();
  switch (definition->type()) {
    case JOB_DEFINITION_BACKUP:
      switch (subtype) {
        case JOB_DEFINITION_SUBTYPE_FULL:
        case JOB_DEFINITION_SUBTYPE_INCREMENTAL:
        case JOB_DEFINITION_SUBTYPE_CUMULATIVE:
          return make_job<HANA_Backup_Job>(definition);
        default:
          break;
      }
      break;
    case JOB_DEFINITION_RESTORE:
      if (subtype == JOB_DEFINITION_SUBTYPE_POINT_IN_TIME)
        return make_job<Controllable_Job_T<Restore_Executor>>(definition);
      break;
    default:
      return Job_var();
  }
  ACE_ERROR((LM_ERROR, "%s is not supported\n", job_def_subtype_to_string(subtype)));
  return Job_var();
}

}  // namespace sap_hana
