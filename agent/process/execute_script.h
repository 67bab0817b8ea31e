#ifndef AGENT_EXECUTE_SCRIPT_H
#define AGENT_EXECUTE_SCRIPT_H

#include <functional>
#include <string>

/// Receives one line of a child's output, without its line end.
using Log_Callback = std::function<void(const std::string& line)>;

/// Runs a job's script (precondition, pre-action, post-action) as
/// "/bin/sh -c <text>" with standard input from /dev/null, standard output
/// and standard error merged, and each output line handed to `callback`
/// (when it is set; otherwise the output is logged at debug priority).
///
/// True when `text` is empty (nothing to run) or the script exits with 0.
/// False when it cannot be started, exits otherwise, is killed by a signal,
/// or runs longer than the time limit: then it is killed (its whole process
/// group) and "Script exceeded its time limit of %d second(s)" is logged.
/// A failure logs the exit code or signal at error priority (never the
/// script's text: it may hold secrets).
///
/// `flags`: none defined yet; pass 0. Thread-safe.
bool execute_script(const std::string& text, int flags, const Log_Callback& callback);

/// The time limit of every script, in seconds (3600 unless changed). For
/// tests and configuration; takes effect for scripts started afterwards.
void set_script_time_limit(int seconds);
int script_time_limit();

#endif
