#ifndef AGENT_TEXT_PROCESS_HANDLER_H
#define AGENT_TEXT_PROCESS_HANDLER_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <ace/Process.h>

#include "agent/process/ace_process_ex.h"

/// Runs a child process to its end and hands its output, line by line, to
/// virtual operations that derived handlers override.
///
/// Contract of call():
/// - Starts the child (ACE_Process_Ex), reads its redirected output until the
///   child has ended and its pipes are closed, and reaps it. Output reaches
///   handle_stdout_segment() as it arrives; the base implementation cuts it
///   into lines and calls handle_stdout_line() once per line, without the
///   "\n" (the text is NUL-terminated at `len`); a last line without "\n" is
///   delivered when the output closes. Standard error, when redirected on its
///   own, goes to handle_stderr_line() the same way; with
///   REDIRECT_STDOUT_STDERR it arrives as output lines.
/// - What a line handler returns (-1 for a rejected line) does not change the
///   course of the run.
/// - Returns 0 when the child exited with status 0; its exit code (128 + the
///   signal when a signal ended it) otherwise; -1 when it could not be started.
/// - A time limit (time_limit(), 0 = none, the default) ends a child that
///   runs too long: SIGTERM to its process group, then SIGKILL after the
///   grace period given at construction. When the child has ended but a
///   program it started still holds the output open, reading stops after
///   PIPES_CLOSED_TIMEOUT seconds.
/// - The command line is logged only with TPHF_LOG_CMD; nothing that
///   identifies the arguments is logged otherwise. TPHF_QUIET suppresses the
///   runner's own failure messages.
/// - While the child runs, the calling thread's log messages also go to the
///   process object's log callback, when it has one.
/// A handler serves one call() at a time; it is not thread-safe.
class Text_Process_Handler {
 public:
  /// TPHF_LOG_CVT_LOCAL_TO_UTF8 is accepted and has no effect: output is
  /// handed over byte for byte.
  enum Flags { TPHF_LOG_NONE = 0, TPHF_LOG_CMD = 1, TPHF_LOG_CVT_LOCAL_TO_UTF8 = 2, TPHF_QUIET = 4 };
  /// Seconds. TERM_TIMEOUT: the margin callers add to a program's own
  /// time-out before the runner ends it; DTOR_TERM_TIMEOUT: the default grace
  /// between SIGTERM and SIGKILL; TERM_RETRY_INTERVAL: SIGKILL is repeated at
  /// this interval until the child is reaped; PIPES_CLOSED_TIMEOUT: see
  /// call(); REACTOR_EVENT_WAIT_TIME: longest wait for output before the
  /// child's state is looked at again.
  enum Timing {
    TERM_TIMEOUT = 600,
    DTOR_TERM_TIMEOUT = 60,
    TERM_RETRY_INTERVAL = 60,
    PIPES_CLOSED_TIMEOUT = 60,
    REACTOR_EVENT_WAIT_TIME = 3
  };

  /// `term_grace`: seconds between SIGTERM and SIGKILL when a child is ended.
  explicit Text_Process_Handler(int flags = TPHF_LOG_NONE, int term_grace = DTOR_TERM_TIMEOUT);
  virtual ~Text_Process_Handler();
  Text_Process_Handler(const Text_Process_Handler&) = delete;
  Text_Process_Handler& operator=(const Text_Process_Handler&) = delete;

  /// One line of standard output (or of both streams when merged). The base
  /// discards it and returns 0.
  virtual int handle_stdout_line(const char* line, size_t len);
  /// One line of standard error when it is redirected on its own.
  virtual int handle_stderr_line(const char* line, size_t len);
  /// A stretch of output as read; the base cuts it into lines.
  virtual int handle_stdout_segment(const char* data, size_t len);
  /// The output has closed; the base delivers a pending last line.
  virtual void handle_stdout_close();
  virtual void handle_stderr_close();

  /// Runs `process` (arguments already set) with `options`.
  int call(ACE_Process_Ex& process, ACE_Process_Options& options);
  /// Creates the process object itself with `redirect_flags` and the log
  /// callback, and runs `argv` (program path first) with `options`.
  int call(int redirect_flags, const std::vector<std::string>& argv, ACE_Process_Options& options,
           const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var());

  /// Text written to the child's standard input (REDIRECT_STDIN) before its
  /// output is read, then the input is closed; for small texts (below the
  /// pipe's capacity), such as a password a program prompts for. Not copied:
  /// the caller keeps it until call() returns. Null (the default): nothing.
  void input(const char* data, size_t len) {
    input_ = data;
    input_len_ = len;
  }

  /// Seconds a child may run before it is ended; 0 means no limit.
  void time_limit(unsigned seconds) { time_limit_ = seconds; }
  /// The monotonic clock (seconds) that times the limit, the grace period
  /// and the wait for the pipes; null for the steady clock. Tests pass a
  /// clock that runs fast, so no test waits real seconds.
  void clock(std::function<double()> now) { clock_ = std::move(now); }
  unsigned time_limit() const { return time_limit_; }
  int flags() const { return flags_; }

 private:
  void deliver_lines(std::string& pending, const char* data, size_t len, bool is_stderr);
  void flush_line(std::string& pending, bool is_stderr);

  int flags_;
  int term_grace_;
  unsigned time_limit_ = 0;
  std::function<double()> clock_;
  const char* input_ = nullptr;
  size_t input_len_ = 0;
  std::string stdout_pending_;
  std::string stderr_pending_;
};

#endif
