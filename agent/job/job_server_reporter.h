#ifndef AGENT_JOB_SERVER_REPORTER_H
#define AGENT_JOB_SERVER_REPORTER_H

#include <string>

#include "agent/json/json_access.h"

class Job;

/// Sends a job's reports to the server: one JSON-RPC request on the
/// agent's channel to it (Global_JSON_RPC_Channel), answered within
/// kTimeout seconds. A missing channel, an unanswered request or an error
/// answer is logged at warning priority with the method and reason.
/// Thread-safe.
class Job_Server_Reporter {
 public:
  static constexpr int kTimeout = 10;

  /// `params` gains the job's "host_uuid", "definition_id", "uid",
  /// "job_act_id" and "time" (seconds since the epoch) in front of its own
  /// members. True when the server answered with a result.
  static bool send(Job& job, const std::string& method, const json_value& params);
};

#endif
