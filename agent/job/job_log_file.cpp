#include "agent/job/job_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include "agent/base/file_utils.h"

namespace {

// The thread's link to a job's log file. It lives in thread-local storage
// so that it is undone when the thread ends, before ACE tears down the
// thread's log object.
struct Thread_Binding : public ACE_Log_Msg_Callback {
  std::shared_ptr<Job_Log_File> file;
  ACE_Log_Msg_Callback* previous = nullptr;
  bool installed = false;

  void log(ACE_Log_Record& record) override {
    if (file) file->write(record);
    if (previous != nullptr) previous->log(record);
  }
  void uninstall() {
    if (installed && ACE_Log_Msg::exists()) ACE_LOG_MSG->msg_callback(previous);
    installed = false;
    previous = nullptr;
    file.reset();
  }
  ~Thread_Binding() override { uninstall(); }
};

thread_local Thread_Binding t_binding;

}  // namespace

std::shared_ptr<Job_Log_File> Job_Log_File::open(const std::string& path) {
  std::string dir = dirname_string(path);
  if (!dir.empty() && mkdir_p(dir.c_str(), 0755) != 0) return nullptr;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "a");
  if (file == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  return std::shared_ptr<Job_Log_File>(new Job_Log_File(file));
}

Job_Log_File::~Job_Log_File() { std::fclose(file_); }

void Job_Log_File::write(const ACE_Log_Record& record) {
  const char* name = ACE_Log_Record::priority_name(static_cast<ACE_Log_Priority>(record.type()));
  // "LM_ERROR" -> "ERROR"
  if (name != nullptr && name[0] == 'L' && name[1] == 'M' && name[2] == '_') name += 3;
  write(name != nullptr ? name : "?", record.msg_data());
}

void Job_Log_File::write(const char* priority, const std::string& text) {
  std::time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(file_, "%s %s %s\n", stamp, priority, line.c_str());
  std::fflush(file_);
}

void Job_Log_File::bind_thread(const std::shared_ptr<Job_Log_File>& file) {
  t_binding.uninstall();
  if (!file) return;
  t_binding.file = file;
  t_binding.previous = ACE_LOG_MSG->msg_callback(&t_binding);
  t_binding.installed = true;
  // The flag is process-wide; threads without a callback are not affected.
  ACE_LOG_MSG->set_flags(ACE_Log_Msg::MSG_CALLBACK);
}

std::shared_ptr<Job_Log_File> Job_Log_File::bound_file() { return t_binding.file; }
