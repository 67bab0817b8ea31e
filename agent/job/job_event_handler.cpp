#include "agent/job/job_event_handler.h"

#include <ace/Log_Msg.h>

#include "agent/job/job.h"
#include "agent/job/job_server_reporter.h"

int Job_Event_Handler::handle_start_job() {
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C started\n"), job_.definition().name().c_str()));
  return Job_Server_Reporter::send(job_, "job.event", json_value{{"event", "start"}}) ? 0 : -1;
}

int Job_Event_Handler::handle_progress(int percent, int, int, int) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  // A run's progress only grows: a step that starts below what was already
  // reported (the next part of the work beginning at its share) is no news.
  if (percent < job_.progress()) return 0;
  job_.record_progress(percent);
  return Job_Server_Reporter::send(job_, "job.event", json_value{{"event", "progress"}, {"percent", percent}}) ? 0 : -1;
}

int Job_Event_Handler::handle_success() {
  job_.record_outcome(JOB_OUTCOME_SUCCESS);
  job_.record_progress(100);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C succeeded\n"), job_.definition().name().c_str()));
  return Job_Server_Reporter::send(job_, "job.event", with_summary(json_value{{"event", "success"}})) ? 0 : -1;
}

int Job_Event_Handler::handle_failure(int code, const char* text) {
  job_.record_outcome(JOB_OUTCOME_FAILURE);
  json_value params = {{"event", "failure"}, {"code", code}};
  if (text != nullptr) params["text"] = text;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Job %C failed (code %d)%C%C\n"), job_.definition().name().c_str(), code,
             text != nullptr ? ": " : "", text != nullptr ? text : ""));
  return Job_Server_Reporter::send(job_, "job.event", with_summary(std::move(params))) ? 0 : -1;
}

int Job_Event_Handler::handle_paused() {
  job_.record_outcome(JOB_OUTCOME_PAUSED);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C paused\n"), job_.definition().name().c_str()));
  return Job_Server_Reporter::send(job_, "job.event", with_summary(json_value{{"event", "paused"}})) ? 0 : -1;
}

int Job_Event_Handler::handle_canceled() {
  job_.record_outcome(JOB_OUTCOME_CANCELED);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C canceled\n"), job_.definition().name().c_str()));
  return Job_Server_Reporter::send(job_, "job.event", with_summary(json_value{{"event", "canceled"}})) ? 0 : -1;
}

json_value Job_Event_Handler::with_summary(json_value params) const {
  if (summary_.is_object())
    for (auto it = summary_.begin(); it != summary_.end(); ++it)
      if (!params.contains(it.key())) params[it.key()] = it.value();
  return params;
}

const std::string& Job_Event_Handler::job_act_id() const {
  job_act_id_ = job_.job_act_id();
  return job_act_id_;
}
