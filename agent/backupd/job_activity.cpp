#include "agent/backupd/job_activity.h"
