#ifndef AGENT_WRITE_JOB_ALERT_H
#define AGENT_WRITE_JOB_ALERT_H

#include <cstdint>

#include "agent/json/json_access.h"

class Job;

/// Raises an alert of `job`'s current run on the server: a JSON-RPC
/// request "job.alert" with params {"host_uuid", "definition_id", "uid",
/// "job_act_id", "time", "category", "code", "flags", "parameters",
/// "severity"}, where `parameters` is any JSON value (null for none).
/// The alert is written to the run's log as well ("Alert category %d code
/// %d"). True when the server took it; false (logged) when it could not be
/// delivered. `flags` is a 64-bit mask (alert flags use high bits, e.g. bit
/// 44). Any thread.
bool write_job_alert(Job& job, int category, int code, std::uint64_t flags, const json_value& parameters, int severity);

#endif
