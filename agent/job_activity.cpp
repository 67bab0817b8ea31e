#include "agent/job_activity.h"
