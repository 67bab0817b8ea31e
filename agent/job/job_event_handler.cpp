#include "agent/job/job_event_handler.h"

#include "agent/job/job.h"

int Job_Event_Handler::handle_start_job() { return -1; }
int Job_Event_Handler::handle_progress(int percent, int, int, int) {
  job_.record_progress(percent);
  return -1;
}
int Job_Event_Handler::handle_success() { return -1; }
int Job_Event_Handler::handle_failure(int, const char*) { return -1; }
int Job_Event_Handler::handle_paused() { return -1; }
int Job_Event_Handler::handle_canceled() { return -1; }
const std::string& Job_Event_Handler::job_act_id() const {
  job_act_id_ = job_.job_act_id();
  return job_act_id_;
}
