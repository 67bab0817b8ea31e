#include "agent/process/subprocess.h"

#include "agent/process/text_process_handler.h"

namespace subprocess {

int call(const std::vector<std::string>& argv, ACE_Process_Options& options,
         const ACE_Log_Msg_Callback_var& log_callback, unsigned time_limit) {
  Text_Process_Handler runner(Text_Process_Handler::TPHF_LOG_NONE, Text_Process_Handler::DTOR_TERM_TIMEOUT);
  runner.time_limit(time_limit);
  return runner.call(ACE_Process_Ex::REDIRECT_NONE, argv, options, log_callback);
}

int call(ACE_Process_Options& options, const ACE_Log_Msg_Callback_var& log_callback, unsigned time_limit) {
  return call(std::vector<std::string>(), options, log_callback, time_limit);
}

}  // namespace subprocess
