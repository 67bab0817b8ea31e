#ifndef AGENT_JOB_LOG_FILE_H
#define AGENT_JOB_LOG_FILE_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

class ACE_Log_Record;

/// The log file of one job run: lines appended as
///   "YYYY-MM-DD HH:MM:SS <PRIORITY> <text>\n"
/// (local time), each ending with exactly one newline, written through at
/// once so a reader (the administrator, a crash) sees every line. Shared by
/// the job and the threads bound to it (Job::set_job_thread); thread-safe.
class Job_Log_File {
 public:
  /// Opens `path` for appending (mode 0640), creating its directory (mode
  /// 0755) when missing. Null (errno set) when it cannot.
  static std::shared_ptr<Job_Log_File> open(const std::string& path);
  ~Job_Log_File();
  Job_Log_File(const Job_Log_File&) = delete;
  Job_Log_File& operator=(const Job_Log_File&) = delete;

  /// One ACE log record (its priority name and text).
  void write(const ACE_Log_Record& record);
  /// One line at `priority` ("INFO", "ERROR", ...).
  void write(const char* priority, const std::string& text);

  /// Sends the calling thread's ACE log lines to `file` as well (null:
  /// stop doing so), keeping whatever callback the thread had and passing
  /// every line on to it. Undone at the thread's end.
  static void bind_thread(const std::shared_ptr<Job_Log_File>& file);
  /// The file the calling thread is bound to, or null.
  static std::shared_ptr<Job_Log_File> bound_file();

 private:
  explicit Job_Log_File(std::FILE* file) : file_(file) {}
  std::mutex mutex_;
  std::FILE* file_;
};

#endif
