#include "agent/storage/storage_fault_seam.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const op_names[] = {"create", "write", "sync", "rename"};

struct Errno_Name {
  const char* name;
  int value;
};
const Errno_Name errno_names[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EDQUOT", EDQUOT}, {"EROFS", EROFS}, {"EACCES", EACCES}};

const char* errno_name(int value) {
  for (const Errno_Name& e : errno_names)
    if (e.value == value) return e.name;
  return "?";
}

}  // namespace

Storage_Fault_Seam& Storage_Fault_Seam::instance() {
  static Storage_Fault_Seam* seam = [] {
    auto* made = new Storage_Fault_Seam;
#ifdef AGENT_STORAGE_FAULT_SEAM
    if (const char* text = std::getenv("STROVIX3_STORAGE_FAULTS")) {
      if (!made->configure(text)) std::fprintf(stderr, "storage fault: cannot read '%s'\n", text);
    }
#endif
    return made;
  }();
  return *seam;
}

bool Storage_Fault_Seam::configure(const std::string& text) {
  struct Wanted {
    long nth = 0;
    int error = 0;
  } wanted[4];
  bool named = false, nfs = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    if (item == "named_temporaries") {
      named = true;
      continue;
    }
    if (item == "nfs_locks") {
      nfs = true;
      continue;
    }
    const std::size_t eq = item.find('='), at = item.find('@');
    if (eq == std::string::npos || at == std::string::npos || at < eq) return false;
    int op = -1;
    for (int i = 0; i < 4; ++i)
      if (item.compare(0, eq, op_names[i]) == 0 && std::strlen(op_names[i]) == eq) op = i;
    int error = 0;
    for (const Errno_Name& e : errno_names)
      if (item.compare(eq + 1, at - eq - 1, e.name) == 0 && std::strlen(e.name) == at - eq - 1) error = e.value;
    char* tail = nullptr;
    const long nth = std::strtol(item.c_str() + at + 1, &tail, 10);
    if (op < 0 || error == 0 || nth < 1 || *tail != '\0') return false;
    wanted[op].nth = nth;
    wanted[op].error = error;
  }
  for (int i = 0; i < 4; ++i) {
    plans_[i].calls = 0;
    plans_[i].nth = wanted[i].nth;
    plans_[i].error = wanted[i].error;
  }
  named_temporaries_ = named;
  nfs_locks_ = nfs;
  return true;
}

int Storage_Fault_Seam::fail(Op op) {
  Plan& plan = plans_[static_cast<int>(op)];
  if (plan.nth == 0) return 0;
  const long call = ++plan.calls;
  if (call != plan.nth) return 0;
  char line[96];
  const int n = std::snprintf(line, sizeof line, "storage fault: %s #%ld failed with %s\n",
                              op_names[static_cast<int>(op)], call, errno_name(plan.error));
  if (n > 0 && ::write(2, line, static_cast<std::size_t>(n)) < 0) {
    // Nothing to do: the fault itself is what counts.
  }
  return plan.error;
}

int Storage_Fault_Seam::lock(int fd, int operation) const {
  if (nfs_locks_ && (operation & (LOCK_EX | LOCK_SH)) != 0) {
    const int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0) return -1;
    const int access = mode & O_ACCMODE;
    const bool ok = (operation & LOCK_EX) != 0 ? access != O_RDONLY : access != O_WRONLY;
    if (!ok) {
      errno = EBADF;
      return -1;
    }
  }
  return ::flock(fd, operation);
}
