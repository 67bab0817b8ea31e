#ifndef SAP_HANA_RUN_OPTIONS_H
#define SAP_HANA_RUN_OPTIONS_H

#include "agent/job/job.h"

namespace sap_hana {

/// What a job hands to a thread it spawns: a reference to the job, which
/// keeps the job alive for as long as the thread runs, and a copy of the
/// command's options (empty when none were given). Owned by the thread once
/// it runs.
struct Run_Options {
  Job_var job;
  Action_Options opts;
};

}  // namespace sap_hana

#endif
