#include "agent/job/job_server_reporter.h"

#include <ctime>

#include <ace/Log_Msg.h>

#include "agent/job/job.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_session.h"

bool Job_Server_Reporter::send(Job& job, const std::string& method, const json_value& params) {
  Job_Definition_var def = job.definition_var();
  json_value p = {{"host_uuid", def->host_id()},
                  {"definition_id", def->id()},
                  {"uid", def->uid()},
                  {"job_act_id", job.job_act_id()},
                  {"time", static_cast<std::int64_t>(std::time(nullptr))}};
  for (auto it = params.begin(); it != params.end(); ++it) p[it.key()] = it.value();
  auto channel = Global_JSON_RPC_Channel::instance();
  if (!channel) {
    ACE_ERROR(
        (LM_WARNING, ACE_TEXT("Job %C: %C not reported, no channel to backupd\n"), def->id().c_str(), method.c_str()));
    return false;
  }
  JSON_RPC_Object_Ptr answer;
  if (JSON_RPC_Session(channel).request(method, p, answer, kTimeout) != 0) {
    ACE_ERROR(
        (LM_WARNING, ACE_TEXT("Job %C: %C not reported, backupd did not answer\n"), def->id().c_str(), method.c_str()));
    return false;
  }
  if (answer->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    ACE_ERROR((LM_WARNING, ACE_TEXT("Job %C: %C refused by backupd: %C\n"), def->id().c_str(), method.c_str(),
               answer->error_message().c_str()));
    return false;
  }
  return true;
}
