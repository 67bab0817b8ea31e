#ifndef SAP_HANA_HANA_JOB_CREATOR_H
#define SAP_HANA_HANA_JOB_CREATOR_H

#include "agent/job/job_creator.h"

namespace sap_hana {

/// Makes the agent's HANA jobs from their definitions.
///
/// Contract of create():
/// - a backup definition of subtype full, incremental or cumulative
///   (differential): a HANA_Backup_Job holding its own reference to the
///   definition;
/// - a restore definition of subtype point in time: a
///   Controllable_Job_T<Restore_Executor> holding its own reference;
/// - any other backup or restore subtype: empty, logged "%s is not supported"
///   with the subtype's name;
/// - any other type: empty, nothing logged;
/// - out of memory: empty with errno ENOMEM.
/// Any thread.
class HANA_Job_Creator : public Job_Creator {
 public:
  HANA_Job_Creator() = default;
  ~HANA_Job_Creator() override;

  Job_var create(Job_Definition_var definition) override;
};

}  // namespace sap_hana

#endif
