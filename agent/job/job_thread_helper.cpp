#include "agent/job/job_thread_helper.h"

Job_Thread_Helper::Job_Thread_Helper(Job_var job, std::function<int()> function, long flags, long priority)
    : Thread_Helper(std::move(function), flags, priority), job_(std::move(job)) {}

std::function<int()> Job_Thread_Helper::thread_body(std::function<int()> function) {
  // The thread holds the reference from here on; the helper keeps none, so
  // the job ends with its last user, not with a helper left in some scope.
  Job_var job = std::move(job_);
  return [job, function]() { return function(); };
}
