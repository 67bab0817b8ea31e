#ifndef AGENT_ACE_PROCESS_EX_H
#define AGENT_ACE_PROCESS_EX_H

#include <sys/types.h>

#include <ace/Log_Msg_Callback.h>
#include <ace/Process.h>

#include <memory>
#include <string>
#include <vector>

/// A shared log callback, possibly empty. Jobs hand theirs to the process
/// runner so that what is logged while a child runs lands in the job's log.
typedef std::shared_ptr<ACE_Log_Msg_Callback> ACE_Log_Msg_Callback_var;

/// One child process, started from an argument vector.
///
/// Contract:
/// - The arguments are handed to execve() exactly as given: nothing is split,
///   unquoted or cut, whatever their length or content. Without arguments,
///   spawn() falls back to the options' command line (split at blanks, quotes
///   grouping), which is only fit for simple fixed commands.
/// - From the ACE_Process_Options it takes the environment (the parent's
///   environment when inherit_environment() is set, overridden by every
///   variable set with setenv(); only those variables otherwise) and the real
///   and effective user and group ids (unchanged when left at -1). When the
///   real user changes, the supplementary groups become those of that user.
///   The child changes to the options' working directory, when one is set,
///   after it has taken the new ids (exit 126 when it cannot).
/// - The child inherits no open handle except its standard streams: standard
///   input is /dev/null unless REDIRECT_STDIN asks for a pipe; standard output
///   and standard error are pipes to the parent when redirected and /dev/null
///   otherwise, or the handles given with the options' set_handles() (which
///   the caller releases). REDIRECT_STDOUT_STDERR sends both into the one
///   output pipe.
/// - The child leads its own process group, so that terminate() reaches the
///   programs it starts as well.
/// - The child never outlives the agent unnoticed: it is killed (SIGKILL,
///   the kernel's parent-death signal) when the thread that called spawn()
///   ends, which includes the whole process being killed. So the thread
///   that starts a child must be the one that waits for it (as
///   Text_Process_Handler::call does); the programs the child starts in turn
///   are not bound (a daemon that HDB starts lives on).
/// - The destructor closes the pipes; a child that is still running then is
///   killed (with its group) and reaped, so no zombie is left.
/// Not thread-safe; one object per child, used by one thread.
class ACE_Process_Ex {
 public:
  enum Redirect_Flags {
    REDIRECT_NONE = 0,
    REDIRECT_STDIN = 1,
    REDIRECT_STDOUT = 2,
    REDIRECT_STDERR = 4,
    REDIRECT_STDOUT_STDERR = 8
  };

  explicit ACE_Process_Ex(int redirect_flags = REDIRECT_NONE,
                          const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var());
  ~ACE_Process_Ex();
  ACE_Process_Ex(const ACE_Process_Ex&) = delete;
  ACE_Process_Ex& operator=(const ACE_Process_Ex&) = delete;

  /// The program (first element, a path) and its arguments.
  void arguments(const std::vector<std::string>& argv) { argv_ = argv; }
  const std::vector<std::string>& arguments() const { return argv_; }

  /// Starts the child. Returns its process id, or -1 (logged, never with the
  /// arguments) when it cannot be started. A program that cannot be executed
  /// makes the child exit with 127.
  pid_t spawn(ACE_Process_Options& options);

  pid_t getpid() const { return pid_; }
  int redirect_flags() const { return flags_; }
  const ACE_Log_Msg_Callback_var& log_callback() const { return log_callback_; }

  /// Read ends of the output pipes and write end of the input pipe;
  /// ACE_INVALID_HANDLE when not redirected or already closed.
  ACE_HANDLE stdout_handle() const { return out_; }
  ACE_HANDLE stderr_handle() const { return err_; }
  ACE_HANDLE stdin_handle() const { return in_; }
  void close_stdout();
  void close_stderr();
  void close_stdin();

  /// Reaps the child. With `block` false returns 0 while it still runs.
  /// Returns the process id once it has ended, -1 when there is no child (a
  /// child that was reaped elsewhere then counts as ended, exit code -1).
  pid_t wait(bool block);
  /// True until wait() has reaped the child.
  bool running() const { return pid_ > 0 && !reaped_; }
  /// After the child was reaped: its exit code, or 128 + the signal that
  /// ended it; -1 before, or when the status was lost.
  int exit_code() const { return exit_code_; }
  /// Sends `signum` to the child's process group. 0 or -1.
  int terminate(int signum);

 private:
  int flags_;
  ACE_Log_Msg_Callback_var log_callback_;
  std::vector<std::string> argv_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;
  ACE_HANDLE out_ = ACE_INVALID_HANDLE;
  ACE_HANDLE err_ = ACE_INVALID_HANDLE;
  ACE_HANDLE in_ = ACE_INVALID_HANDLE;
};

#endif
