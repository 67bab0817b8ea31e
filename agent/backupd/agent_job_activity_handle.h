#ifndef AGENT_AGENT_JOB_ACTIVITY_HANDLE_H
#define AGENT_AGENT_JOB_ACTIVITY_HANDLE_H

#include <string>

#include "agent/backupd/job_activity.h"

/// A mapping of the activity record (Job_Activity) of one job definition.
/// The record lives in "<directory>/<uid>.act", the directory being
/// "/var/opt/corvane/strovix3/agent/act" unless set_directory() chose
/// another (tests).
///
/// open(uid, flags) maps the record:
///  - read-only when `flags` has O_RDONLY as its access mode (readers pass
///    O_CLOEXEC, 0x80000): the file must exist and hold a whole record;
///  - read-write when the access mode is O_RDWR (the job side); with
///    O_CREAT a missing file (and directory, mode 0755) is created with mode
///    0644 and a fresh record (magic, version, zeros) is written.
/// It returns 0 when mapped, else -1 with errno: EINVAL for a uid that is
/// empty or holds anything but letters, digits and "-" (so it cannot leave
/// the directory), or for a file shorter than a record (a truncated file is
/// refused instead of faulting on access); the system's errno otherwise.
/// Reopening closes the previous mapping first.
///
/// Readers must still check `magic` before trusting the record. sync()
/// flushes a writable mapping to its file. The mapping ends with close() or
/// the destructor. Not synchronised: one thread per handle.
class Agent_Job_Activity_Handle {
 public:
  Agent_Job_Activity_Handle() = default;
  Agent_Job_Activity_Handle(const Agent_Job_Activity_Handle&) = delete;
  Agent_Job_Activity_Handle& operator=(const Agent_Job_Activity_Handle&) = delete;
  ~Agent_Job_Activity_Handle() { close(); }

  int open(const std::string& uid, int flags);
  void close();
  /// 0 on success, -1 with errno.
  int sync();

  bool is_open() const { return record_ != nullptr; }
  /// The mapped record; null when closed. Writable only after a read-write open.
  Job_Activity* get() const { return record_; }
  Job_Activity* operator->() const { return record_; }

  static void set_directory(const std::string& directory);
  static std::string directory();
  /// "<directory>/<uid>.act"
  static std::string path_of(const std::string& uid);

 private:
  Job_Activity* record_ = nullptr;
  bool writable_ = false;
};

#endif
