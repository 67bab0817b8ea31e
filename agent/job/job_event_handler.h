#ifndef AGENT_JOB_EVENT_HANDLER_H
#define AGENT_JOB_EVENT_HANDLER_H

#include <string>
#include <utility>

#include "agent/json/json_access.h"

class Job;

/// Reports the course of a job's run to the server, as JSON-RPC requests
/// "job.event" on the agent's channel to it (Global_JSON_RPC_Channel),
/// each with params
///   {"host_uuid", "definition_id", "uid", "job_act_id", "event", "time"}
/// and, by event: "start"; "progress" with "percent"; "success"; "failure"
/// with "code" and "text" (when given); "paused"; "canceled". The job
/// records the progress and the outcome too (Job::progress(),
/// Job::outcome()). Reports wait for the server's answer at most 10
/// seconds; one that fails is logged at warning priority and the job goes
/// on (the results are 0 when the server took the report, -1 otherwise).
///
/// A short-lived value made from the job for each operation; the job must
/// outlive it. Any thread.
class Job_Event_Handler {
 public:
  explicit Job_Event_Handler(Job& job) : job_(job) {}

  int handle_start_job();
  /// `percent` 0 to 100 (clamped); the other three are reserved (0).
  int handle_progress(int percent, int, int, int);
  int handle_success();
  /// `text` may be null.
  int handle_failure(int code, const char* text);
  int handle_paused();
  int handle_canceled();

  /// An object whose members go into the outcome report (its own members,
  /// "event", "code" and "text", win).
  void summary(json_value value) { summary_ = std::move(value); }

  /// The ID of the job's current run (known from its start on).
  const std::string& job_act_id() const;

 private:
  json_value with_summary(json_value params) const;

  Job& job_;
  mutable std::string job_act_id_;
  json_value summary_;
};

#endif
