#include "agent/process/text_process_handler.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <ace/Log_Msg.h>

#include <algorithm>
#include <chrono>
#include <functional>

namespace {

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Routes the calling thread's log messages to a job's callback for the
// duration of one run and restores the previous routing afterwards.
class Log_Callback_Scope {
 public:
  explicit Log_Callback_Scope(ACE_Log_Msg_Callback* callback) : active_(callback != nullptr) {
    if (!active_) return;
    ACE_Log_Msg* log = ACE_LOG_MSG;
    old_callback_ = log->msg_callback(callback);
    had_flag_ = (log->flags() & ACE_Log_Msg::MSG_CALLBACK) != 0;
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  ~Log_Callback_Scope() {
    if (!active_) return;
    ACE_Log_Msg* log = ACE_LOG_MSG;
    log->msg_callback(old_callback_);
    if (!had_flag_) log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  Log_Callback_Scope(const Log_Callback_Scope&) = delete;
  Log_Callback_Scope& operator=(const Log_Callback_Scope&) = delete;

 private:
  bool active_;
  ACE_Log_Msg_Callback* old_callback_ = nullptr;
  bool had_flag_ = false;
};

}  // namespace

Text_Process_Handler::Text_Process_Handler(int flags, int term_grace) : flags_(flags), term_grace_(term_grace) {}

Text_Process_Handler::~Text_Process_Handler() {}

int Text_Process_Handler::handle_stdout_line(const char*, size_t) { return 0; }

int Text_Process_Handler::handle_stderr_line(const char*, size_t) { return 0; }

int Text_Process_Handler::handle_stdout_segment(const char* data, size_t len) {
  deliver_lines(stdout_pending_, data, len, false);
  return 0;
}

void Text_Process_Handler::handle_stdout_close() {}

void Text_Process_Handler::handle_stderr_close() {}

void Text_Process_Handler::deliver_lines(std::string& pending, const char* data, size_t len, bool is_stderr) {
  const char* end = data + len;
  while (data < end) {
    const char* nl = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(end - data)));
    if (nl == nullptr) {
      pending.append(data, static_cast<size_t>(end - data));
      return;
    }
    pending.append(data, static_cast<size_t>(nl - data));
    if (is_stderr)
      handle_stderr_line(pending.c_str(), pending.size());
    else
      handle_stdout_line(pending.c_str(), pending.size());
    pending.clear();
    data = nl + 1;
  }
}

void Text_Process_Handler::flush_line(std::string& pending, bool is_stderr) {
  if (pending.empty()) return;
  if (is_stderr)
    handle_stderr_line(pending.c_str(), pending.size());
  else
    handle_stdout_line(pending.c_str(), pending.size());
  pending.clear();
}

int Text_Process_Handler::call(int redirect_flags, const std::vector<std::string>& argv, ACE_Process_Options& options,
                               const ACE_Log_Msg_Callback_var& log_callback) {
  ACE_Process_Ex process(redirect_flags, log_callback);
  process.arguments(argv);
  return call(process, options);
}

int Text_Process_Handler::call(ACE_Process_Ex& process, ACE_Process_Options& options) {
  Log_Callback_Scope scope(process.log_callback().get());
  stdout_pending_.clear();
  stderr_pending_.clear();

  if (flags_ & TPHF_LOG_CMD) {
    std::string cmd;
    for (const auto& a : process.arguments()) cmd += (cmd.empty() ? "" : " ") + a;
    ACE_DEBUG((LM_INFO, ACE_TEXT("Running '%s'\n"), cmd.c_str()));
  }
  if (process.spawn(options) < 0) return -1;
  if (input_ != nullptr && process.stdin_handle() != ACE_INVALID_HANDLE) {
    // A child that went away early must not end the caller with SIGPIPE.
    sigset_t pipe_signal, saved;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
    for (size_t done = 0; done < input_len_;) {
      const ssize_t n = ::write(process.stdin_handle(), input_ + done, input_len_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    const struct timespec no_wait = {0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &no_wait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  // The child sees the end of its input.
  process.close_stdin();

  const std::function<double()> now = clock_ ? clock_ : std::function<double()>(steady_seconds);
  auto seconds_since = [&now](double t) { return now() - t; };
  const double start = now();
  double exit_time = 0;
  double term_time = 0;
  double kill_time = 0;
  bool exited = false;
  bool term_sent = false;
  bool kill_sent = false;
  char buffer[65536];

  for (;;) {
    struct pollfd fds[2];
    nfds_t n = 0;
    if (process.stdout_handle() != ACE_INVALID_HANDLE) fds[n++] = {process.stdout_handle(), POLLIN, 0};
    if (process.stderr_handle() != ACE_INVALID_HANDLE) fds[n++] = {process.stderr_handle(), POLLIN, 0};
    if (n == 0 && exited) break;
    if (n == 0 && time_limit_ == 0) {
      process.wait(true);
      exited = true;
      break;
    }

    // Wake up no later than the next deadline: the time limit, the end of
    // the grace period, or the wait for the pipes after the child's end.
    double wait = REACTOR_EVENT_WAIT_TIME;
    if (exited)
      wait = std::min(wait, PIPES_CLOSED_TIMEOUT - seconds_since(exit_time));
    else if (term_sent && !kill_sent)
      wait = std::min(wait, term_grace_ - seconds_since(term_time));
    else if (time_limit_ != 0 && !term_sent)
      wait = std::min(wait, time_limit_ - seconds_since(start));
    if (n == 0) wait = std::min(wait, 0.1);
    int timeout_ms = std::max(10, static_cast<int>(wait * 1000));
    int r = ::poll(fds, n, timeout_ms);
    if (r < 0 && errno != EINTR) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to wait for the output of process %d, %m\n"), process.getpid()));
      process.close_stdout();
      process.close_stderr();
      continue;
    }
    for (nfds_t i = 0; r > 0 && i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const bool is_stderr = fds[i].fd == process.stderr_handle();
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got > 0) {
        if (is_stderr)
          deliver_lines(stderr_pending_, buffer, static_cast<size_t>(got), true);
        else
          handle_stdout_segment(buffer, static_cast<size_t>(got));
        continue;
      }
      if (is_stderr) {
        process.close_stderr();
        flush_line(stderr_pending_, true);
        handle_stderr_close();
      } else {
        process.close_stdout();
        flush_line(stdout_pending_, false);
        handle_stdout_close();
      }
    }

    // A child that someone else reaped (-1) has ended as well; its status is
    // lost and the run counts as failed.
    if (!exited && process.wait(false) != 0) {
      exited = true;
      exit_time = now();
    }
    if (exited) {
      // A program that the child started in the background may keep the
      // output open for ever; the child's own output has ended by now.
      if (seconds_since(exit_time) >= PIPES_CLOSED_TIMEOUT) {
        if (process.stdout_handle() != ACE_INVALID_HANDLE) {
          process.close_stdout();
          flush_line(stdout_pending_, false);
          handle_stdout_close();
        }
        if (process.stderr_handle() != ACE_INVALID_HANDLE) {
          process.close_stderr();
          flush_line(stderr_pending_, true);
          handle_stderr_close();
        }
      }
      continue;
    }
    if (time_limit_ != 0 && !term_sent && seconds_since(start) >= time_limit_) {
      if (!(flags_ & TPHF_QUIET))
        ACE_ERROR((LM_ERROR, ACE_TEXT("Process %d did not end within %u second(s), terminating it\n"), process.getpid(),
                   time_limit_));
      process.terminate(SIGTERM);
      term_sent = true;
      term_time = now();
    } else if (term_sent && !kill_sent && seconds_since(term_time) >= term_grace_) {
      process.terminate(SIGKILL);
      kill_sent = true;
      kill_time = now();
    } else if (kill_sent && seconds_since(kill_time) >= TERM_RETRY_INTERVAL) {
      // Still not reaped (a process stuck in the kernel): try again.
      process.terminate(SIGKILL);
      kill_time = now();
    }
  }

  return process.exit_code();
}
