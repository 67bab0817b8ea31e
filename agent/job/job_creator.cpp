#include "agent/job/job_creator.h"

#include <cerrno>

Job_Creator::~Job_Creator() = default;

int Job_Creator::init(int, ACE_TCHAR*[]) { return 0; }

int Job_Creator::fini() { return 0; }

Job_var Job_Creator::create(Job_Definition_var) {
  errno = ENOTSUP;
  return Job_var();
}
