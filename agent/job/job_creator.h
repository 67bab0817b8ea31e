#ifndef AGENT_JOB_CREATOR_H
#define AGENT_JOB_CREATOR_H

#include <ace/ACE.h>

#include "agent/job/job.h"
#include "agent/job/job_definition.h"

/// Makes the job objects of one plug-in (one "agent" kind of job
/// definition). The agent loads it from its service configuration (kind
/// Job_Creator), init()s it once, calls create() for each of the kind's
/// definitions, and fini()s it before it destroys it.
///
/// create() may be called from several threads at once.
class Job_Creator {
 public:
  Job_Creator() = default;
  virtual ~Job_Creator();
  Job_Creator(const Job_Creator&) = delete;
  Job_Creator& operator=(const Job_Creator&) = delete;

  /// The arguments of the configuration line, argv[0] the service name;
  /// base: 0.
  virtual int init(int argc, ACE_TCHAR* argv[]);
  /// Base: 0.
  virtual int fini();
  /// A job for `definition`, which it keeps a reference to; empty when the
  /// creator makes no job for it (errno ENOMEM when memory ran out). Base:
  /// empty, errno ENOTSUP.
  virtual Job_var create(Job_Definition_var definition);
};

#endif
