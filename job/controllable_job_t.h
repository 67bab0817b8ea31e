#ifndef SAP_HANA_CONTROLLABLE_JOB_T_H
#define SAP_HANA_CONTROLLABLE_JOB_T_H

#include "job/default_job_t.h"

namespace sap_hana {

/// A Default_Job_T whose run can be stopped, paused, resumed, switched and
/// aborted. Each command only records the state it asks for (Job::state_i,
/// whose result it returns); the running executor observes the state and
/// ends the run accordingly.
template <class Executor>
class Controllable_Job_T : public Default_Job_T<Executor> {
 public:
  explicit Controllable_Job_T(Job_Definition_var definition) : Default_Job_T<Executor>(definition) {}

  int stop_i(const Action_Options*) override { return this->state_i(JOB_STATE_CANCELING); }
  int pause_i(const Action_Options*) override { return this->state_i(JOB_STATE_PAUSING); }
  int resume_i(const Action_Options*) override { return this->state_i(JOB_STATE_RUNNING); }
  int switch_i(const Action_Options*) override { return this->state_i(JOB_STATE_SWITCHING); }
  int abort_i() override { return this->state_i(JOB_STATE_ABORTING); }
  using Default_Job_T<Executor>::abort_i;
};

}  // namespace sap_hana

#endif
