#ifndef AGENT_SUBPROCESS_H
#define AGENT_SUBPROCESS_H

#include <string>
#include <vector>

#include <ace/Process.h>

#include "agent/process/ace_process_ex.h"

/// The plain process runner: starts a program, waits for its end, and says
/// whether it ended successfully.
namespace subprocess {

/// Runs `argv` (program path first, arguments handed over unchanged) with the
/// environment and user/group ids of `options`. The child's standard input is
/// /dev/null and its output is discarded; it inherits no other open handle.
/// `time_limit` seconds (0: none) after the start the child and the programs
/// it started are terminated. Returns 0 when the child exited with status 0,
/// its exit code (or 128 + signal) otherwise, -1 when it could not be started.
int call(const std::vector<std::string>& argv, ACE_Process_Options& options,
         const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var(), unsigned time_limit = 0);

/// As above with the options' own command line (split at blanks, quotes
/// grouping); only for fixed commands whose parts hold no blanks.
int call(ACE_Process_Options& options, const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var(),
         unsigned time_limit = 0);

}  // namespace subprocess

#endif
