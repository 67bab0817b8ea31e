#include "agent/backupd/agent_job_activity_handle.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "agent/base/file_utils.h"
#include "agent/base/agent_paths.h"

namespace {

std::mutex directory_mutex;
std::string activity_directory = agent_paths::kActivityDir;

bool valid_uid(const std::string& uid) {
  if (uid.empty()) return false;
  for (char c : uid) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

}  // namespace

void Agent_Job_Activity_Handle::set_directory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(directory_mutex);
  activity_directory = directory;
}

std::string Agent_Job_Activity_Handle::directory() {
  std::lock_guard<std::mutex> lock(directory_mutex);
  return activity_directory;
}

std::string Agent_Job_Activity_Handle::path_of(const std::string& uid) { return directory() + "/" + uid + ".act"; }

int Agent_Job_Activity_Handle::open(const std::string& uid, int flags) {
  close();
  if (!valid_uid(uid)) {
    errno = EINVAL;
    return -1;
  }
  bool writable = (flags & O_ACCMODE) == O_RDWR;
  bool create = writable && (flags & O_CREAT) != 0;
  std::string path = path_of(uid);
  if (create && mkdir_p(directory().c_str(), 0755) != 0) return -1;
  int open_flags = (writable ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0) | O_CLOEXEC;
  int fd = ::open(path.c_str(), open_flags, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  bool fresh = false;
  if (st.st_size == 0 && create) {
    if (::ftruncate(fd, sizeof(Job_Activity)) != 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    fresh = true;
  } else if (static_cast<std::size_t>(st.st_size) < sizeof(Job_Activity)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  void* map = ::mmap(nullptr, sizeof(Job_Activity), writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  int e = errno;
  ::close(fd);
  if (map == MAP_FAILED) {
    errno = e;
    return -1;
  }
  record_ = static_cast<Job_Activity*>(map);
  writable_ = writable;
  if (fresh) {
    std::memset(record_, 0, sizeof(Job_Activity));
    record_->version = job_activity_version;
    record_->state = JOB_STATE_NONE;
    // Written last: a reader that sees the magic sees an initialised record.
    __atomic_store_n(&record_->magic, job_activity_magic, __ATOMIC_RELEASE);
  }
  return 0;
}

void Agent_Job_Activity_Handle::close() {
  if (record_ == nullptr) return;
  ::munmap(record_, sizeof(Job_Activity));
  record_ = nullptr;
  writable_ = false;
}

int Agent_Job_Activity_Handle::sync() {
  if (record_ == nullptr) {
    errno = EBADF;
    return -1;
  }
  if (!writable_) return 0;
  return ::msync(record_, sizeof(Job_Activity), MS_SYNC);
}
