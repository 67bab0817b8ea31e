#include "agent/process/execute_script.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <ace/Log_Msg.h>

#include "agent/process/text_process_handler.h"

namespace {

std::atomic<int> g_time_limit{3600};

class Script_Output : public Text_Process_Handler {
 public:
  explicit Script_Output(const Log_Callback& callback) : Text_Process_Handler(TPHF_LOG_NONE, 10), callback_(callback) {}
  int handle_stdout_line(const char* line, size_t len) override {
    if (callback_)
      callback_(std::string(line, len));
    else
      ACE_DEBUG((LM_DEBUG, ACE_TEXT("%.*C\n"), static_cast<int>(len), line));
    return 0;
  }

 private:
  const Log_Callback& callback_;
};

// The script goes to the shell as a file, not as "-c <text>": scripts may
// hold passwords, and a command line is readable by every user of the host.
bool write_script_file(const std::string& text, std::string& path) {
  char name[] = "/tmp/job-script-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return false;
  path = name;
  const char* p = text.data();
  std::size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok) ::unlink(name);
  return ok;
}

}  // namespace

void set_script_time_limit(int seconds) { g_time_limit = seconds > 0 ? seconds : 1; }

int script_time_limit() { return g_time_limit; }

bool execute_script(const std::string& text, int flags, const Log_Callback& callback) {
  (void)flags;
  if (text.empty()) return true;
  std::string path;
  if (!write_script_file(text, path)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to write the script to a temporary file: %m\n")));
    return false;
  }
  int limit = g_time_limit;
  Script_Output output(callback);
  output.time_limit(static_cast<unsigned>(limit));
  ACE_Process_Options options;
  options.inherit_environment(true);
  auto started = std::chrono::steady_clock::now();
  int rc = output.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {"/bin/sh", path}, options);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  ::unlink(path.c_str());
  if (rc == 0) return true;
  if (rc > 0 && seconds >= limit) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Script exceeded its time limit of %d second(s)\n"), limit));
  } else if (rc > 128) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Script ended by signal %d\n"), rc - 128));
  } else if (rc > 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Script failed with exit code %d\n"), rc));
  } else {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Script could not be started\n")));
  }
  return false;
}
