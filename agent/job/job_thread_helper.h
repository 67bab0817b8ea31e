#ifndef AGENT_JOB_THREAD_HELPER_H
#define AGENT_JOB_THREAD_HELPER_H

#include <functional>

#include "agent/base/thread_helper.h"
#include "agent/job/job.h"

/// A Thread_Helper whose thread holds a reference to a job for as long as
/// it runs, so the job outlives every thread working for it.
class Job_Thread_Helper : public Thread_Helper {
 public:
  Job_Thread_Helper(Job_var job, std::function<int()> function, long flags = kDetached,
                    long priority = ACE_DEFAULT_THREAD_PRIORITY);

 protected:
  std::function<int()> thread_body(std::function<int()> function) override;

 private:
  Job_var job_;
};

#endif
