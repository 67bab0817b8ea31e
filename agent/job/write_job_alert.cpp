#include "agent/job/write_job_alert.h"

#include <ace/Log_Msg.h>

#include "agent/job/job.h"
#include "agent/job/job_server_reporter.h"

bool write_job_alert(Job& job, int category, int code, std::uint64_t flags, const json_value& parameters,
                     int severity) {
  ACE_ERROR((LM_WARNING, ACE_TEXT("Alert category %d code %d\n"), category, code));
  json_value params = {
      {"category", category}, {"code", code}, {"flags", flags}, {"parameters", parameters}, {"severity", severity}};
  return Job_Server_Reporter::send(job, "job.alert", params);
}
