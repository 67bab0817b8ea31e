#include "agent/base/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/base/directory_iterator.h"

bool is_regular_file(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int mkdir_p(const char* path, mode_t mode) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (is_directory(p.c_str())) return 0;
  for (std::size_t pos = 1; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != '/') continue;
    std::string prefix = p.substr(0, pos);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return -1;
    if (!is_directory(prefix.c_str())) {
      errno = ENOTDIR;
      return -1;
    }
  }
  return 0;
}

char* dirname_r(const char* path, char* buffer, std::size_t size) {
  if (path == nullptr || buffer == nullptr || size == 0) return nullptr;
  const char* slash = std::strrchr(path, '/');
  std::size_t n;
  const char* src = path;
  if (slash == nullptr) {
    src = ".";
    n = 1;
  } else if (slash == path) {
    n = 1;
  } else {
    n = static_cast<std::size_t>(slash - path);
  }
  if (n + 1 > size) return nullptr;
  std::memcpy(buffer, src, n);
  buffer[n] = '\0';
  return buffer;
}

std::string dirname_string(const std::string& path) {
  std::vector<char> buffer(path.size() + 2);
  const char* r = dirname_r(path.c_str(), buffer.data(), buffer.size());
  return r ? std::string(r) : std::string();
}

ssize_t read_full(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<ssize_t>(got);
}

bool lookup_user(const char* user, uid_t& uid, gid_t& gid) {
  struct passwd pw, *result = nullptr;
  std::vector<char> buf(16384);
  if (::getpwnam_r(user, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) return false;
  uid = pw.pw_uid;
  gid = pw.pw_gid;
  return true;
}

bool lookup_group(const char* group, gid_t& gid) {
  struct group gr, *result = nullptr;
  std::vector<char> buf(16384);
  if (::getgrnam_r(group, &gr, buf.data(), buf.size(), &result) != 0 || result == nullptr) return false;
  gid = gr.gr_gid;
  return true;
}

namespace {
bool chown_tree(const std::string& path, uid_t uid, gid_t gid, bool recursive) {
  if (::lchown(path.c_str(), uid, gid) != 0) return false;
  struct stat st;
  if (!recursive || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  bool ok = true;
  int n = iterate_directory(path, [&](const std::string& name, const struct dirent&) {
    ok = chown_tree(path + "/" + name, uid, gid, true) && ok;
    return true;
  });
  return ok && n >= 0;
}
}  // namespace

int chown_r(const char* path, const char* user, const char* group, int recursive) {
  if (path == nullptr || *path == '\0') return 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  if (user != nullptr && *user != '\0') {
    gid_t ignored;
    if (!lookup_user(user, uid, ignored)) return 0;
  }
  if (group != nullptr && *group != '\0' && !lookup_group(group, gid)) return 0;
  return chown_tree(path, uid, gid, recursive != 0) ? 1 : 0;
}
