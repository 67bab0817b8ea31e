#include "agent/process/ace_process_ex.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ace/Log_Msg.h>

#include <cstring>

extern char** environ;

namespace {

void close_handle(ACE_HANDLE& h) {
  if (h != ACE_INVALID_HANDLE) {
    ::close(h);
    h = ACE_INVALID_HANDLE;
  }
}

// Merges the variables set in the options over the inherited environment, so
// that a variable set twice appears once, with the value the options give.
std::vector<std::string> build_environment(ACE_Process_Options& options) {
  std::vector<std::string> env;
  std::vector<std::string> overrides;
  for (ACE_TCHAR* const* p = options.env_argv(); p != nullptr && *p != nullptr; ++p) overrides.push_back(*p);
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  if (options.inherit_environment()) {
    for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
      std::string entry(*p);
      bool overridden = false;
      for (const auto& o : overrides) {
        if (name_of(o) == name_of(entry)) {
          overridden = true;
          break;
        }
      }
      if (!overridden) env.push_back(entry);
    }
  }
  for (const auto& o : overrides) env.push_back(o);
  return env;
}

void wipe_strings(std::vector<std::string>& strings) {
  for (auto& s : strings) {
    if (!s.empty()) explicit_bzero(&s[0], s.size());
  }
}

std::vector<char*> c_array(std::vector<std::string>& strings) {
  std::vector<char*> array;
  array.reserve(strings.size() + 1);
  for (auto& s : strings) array.push_back(&s[0]);
  array.push_back(nullptr);
  return array;
}

}  // namespace

ACE_Process_Ex::ACE_Process_Ex(int redirect_flags, const ACE_Log_Msg_Callback_var& log_callback)
    : flags_(redirect_flags), log_callback_(log_callback) {}

ACE_Process_Ex::~ACE_Process_Ex() {
  // Arguments may hold a password.
  wipe_strings(argv_);
  close_stdin();
  close_stdout();
  close_stderr();
  if (running()) {
    terminate(SIGKILL);
    wait(true);
  }
}

void ACE_Process_Ex::close_stdout() { close_handle(out_); }
void ACE_Process_Ex::close_stderr() { close_handle(err_); }
void ACE_Process_Ex::close_stdin() { close_handle(in_); }

pid_t ACE_Process_Ex::spawn(ACE_Process_Options& options) {
  if (pid_ > 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Process %d was already started\n"), pid_));
    return -1;
  }

  std::vector<std::string> args = argv_;
  if (args.empty()) {
    for (ACE_TCHAR* const* p = options.command_line_argv(); p != nullptr && *p != nullptr; ++p) args.push_back(*p);
  }
  if (args.empty() || args[0].empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("No program given to start\n")));
    return -1;
  }
  std::vector<std::string> env = build_environment(options);
  std::vector<char*> c_args = c_array(args);
  std::vector<char*> c_env = c_array(env);

  // Supplementary groups are looked up here: the child may only make
  // async-signal-safe calls between fork and exec.
  const uid_t ruid = options.getruid();
  const uid_t euid = options.geteuid();
  const gid_t rgid = options.getrgid();
  const gid_t egid = options.getegid();
  const bool change_groups = ruid != static_cast<uid_t>(-1);
  std::vector<gid_t> groups;
  if (change_groups) {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(ruid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
      int n = 64;
      groups.resize(n);
      gid_t base = rgid != static_cast<gid_t>(-1) ? rgid : pw.pw_gid;
      if (getgrouplist(pw.pw_name, base, groups.data(), &n) == -1) {
        groups.resize(n);
        getgrouplist(pw.pw_name, base, groups.data(), &n);
      }
      groups.resize(n);
    } else if (rgid != static_cast<gid_t>(-1)) {
      groups.push_back(rgid);
    }
  }

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  const bool merge = (flags_ & REDIRECT_STDOUT_STDERR) != 0;
  const bool want_out = merge || (flags_ & REDIRECT_STDOUT) != 0;
  const bool want_err = !merge && (flags_ & REDIRECT_STDERR) != 0;
  auto close_all = [&]() {
    for (int* p : {in_pipe, out_pipe, err_pipe}) {
      if (p[0] >= 0) ::close(p[0]);
      if (p[1] >= 0) ::close(p[1]);
    }
  };
  // O_CLOEXEC: a child that another thread forks meanwhile must not hold
  // these pipes open, or the reader would never see their end.
  if (((flags_ & REDIRECT_STDIN) && pipe2(in_pipe, O_CLOEXEC) != 0) || (want_out && pipe2(out_pipe, O_CLOEXEC) != 0) ||
      (want_err && pipe2(err_pipe, O_CLOEXEC) != 0)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create pipes for a child process, %m\n")));
    close_all();
    return -1;
  }
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to open /dev/null, %m\n")));
    close_all();
    return -1;
  }
  const long max_fd = sysconf(_SC_OPEN_MAX);
  const char* cwd = options.working_directory();
  // Handles given with set_handles() stand for the streams not redirected
  // to pipes (a file that collects a program's output, for example).
  const ACE_HANDLE given_in = options.get_stdin();
  const ACE_HANDLE given_out = options.get_stdout();
  const ACE_HANDLE given_err = options.get_stderr();
  const bool use_path = args[0].find('/') == std::string::npos;
  const pid_t parent = ::getpid();

  pid_t pid = fork();
  if (pid < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to start a child process, %m\n")));
    wipe_strings(args);
    close_all();
    ::close(null_fd);
    return -1;
  }
  if (pid == 0) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);

    int in_fd = in_pipe[0] >= 0 ? in_pipe[0] : (given_in != ACE_INVALID_HANDLE ? given_in : null_fd);
    int out_fd = out_pipe[1] >= 0 ? out_pipe[1] : (given_out != ACE_INVALID_HANDLE ? given_out : null_fd);
    int err_fd = merge ? out_pipe[1]
                       : (err_pipe[1] >= 0 ? err_pipe[1] : (given_err != ACE_INVALID_HANDLE ? given_err : null_fd));
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
    {
      for (long fd = 3; fd < max_fd; ++fd) ::close(static_cast<int>(fd));
    }
    if (change_groups && setgroups(groups.size(), groups.data()) != 0) _exit(126);
    if ((rgid != static_cast<gid_t>(-1) || egid != static_cast<gid_t>(-1)) && setregid(rgid, egid) != 0) _exit(126);
    if ((ruid != static_cast<uid_t>(-1) || euid != static_cast<uid_t>(-1)) && setreuid(ruid, euid) != 0) _exit(126);
    // After the change of user, so that the directory is entered with the
    // new user's rights.
    if (cwd != nullptr && chdir(cwd) != 0) _exit(126);
    // Last before exec: a change of ids clears the setting. A parent gone
    // before it took effect shows in getppid().
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    if (use_path)
      execvpe(c_args[0], c_args.data(), c_env.data());
    else
      execve(c_args[0], c_args.data(), c_env.data());
    _exit(127);
  }

  wipe_strings(args);
  // Both sides set the group, so that terminate() cannot race the child.
  setpgid(pid, pid);
  ::close(null_fd);
  if (in_pipe[0] >= 0) ::close(in_pipe[0]);
  if (out_pipe[1] >= 0) ::close(out_pipe[1]);
  if (err_pipe[1] >= 0) ::close(err_pipe[1]);
  in_ = in_pipe[1] >= 0 ? in_pipe[1] : ACE_INVALID_HANDLE;
  out_ = out_pipe[0] >= 0 ? out_pipe[0] : ACE_INVALID_HANDLE;
  err_ = err_pipe[0] >= 0 ? err_pipe[0] : ACE_INVALID_HANDLE;
  pid_ = pid;
  reaped_ = false;
  exit_code_ = -1;
  return pid;
}

pid_t ACE_Process_Ex::wait(bool block) {
  if (pid_ <= 0) return -1;
  if (reaped_) return pid_;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return 0;
  if (r < 0) {
    if (errno == ECHILD) {
      // Reaped elsewhere (a SIGCHLD handler of the host process): ended,
      // with an unknown status.
      reaped_ = true;
      exit_code_ = -1;
    }
    return -1;
  }
  reaped_ = true;
  if (WIFEXITED(status))
    exit_code_ = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    exit_code_ = 128 + WTERMSIG(status);
  return pid_;
}

int ACE_Process_Ex::terminate(int signum) {
  if (!running()) return -1;
  if (::kill(-pid_, signum) == 0) return 0;
  return ::kill(pid_, signum) == 0 ? 0 : -1;
}
