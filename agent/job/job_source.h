#ifndef AGENT_JOB_SOURCE_H
#define AGENT_JOB_SOURCE_H

#include <memory>

/// What a job works on (a backup's resource and entries, a restore's sets),
/// as the parser that the job's plug-in registered for its agent and job
/// type made it from the definition's "source". Jobs cast it to the class
/// their parser makes. Immutable once parsed; shared by the definition and
/// its job.
class Job_Source {
 public:
  Job_Source() = default;
  virtual ~Job_Source();
  Job_Source(const Job_Source&) = delete;
  Job_Source& operator=(const Job_Source&) = delete;
};

using Job_Source_var = std::shared_ptr<Job_Source>;

#endif
