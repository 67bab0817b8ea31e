#include "agent/job/job_source.h"

Job_Source::~Job_Source() = default;
