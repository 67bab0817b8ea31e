#ifndef AGENT_JOB_MUTEX_H
#define AGENT_JOB_MUTEX_H

#include <memory>
#include <string>

#include <ace/Thread_Mutex.h>

/// Process-wide mutexes by ID (a resource UUID, a database): jobs that must
/// not overlap on one resource lock the same mutex. get() returns the same
/// mutex for one ID as long as anyone holds it; an ID nobody holds any
/// more may get a fresh one. Thread-safe.
class Job_Mutex {
 public:
  static std::shared_ptr<ACE_Thread_Mutex> get(const std::string& id);
};

#endif
