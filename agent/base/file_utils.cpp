#include "agent/base/file_utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

bool is_regular_file(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
// Through a descriptor opened without following links: in a directory that
// others can write, the name may already stand for something else.
bool set_mode(const std::string& directory, mode_t mode) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

// `exact`: the umask must not take bits away (and mkdir ignores the set
// bits), so each directory made here gets its mode once more by chmod.
int make_path(const std::string& path, mode_t mode, std::vector<std::string>& created, bool exact) {
  created.clear();
  if (path.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (is_directory(p.c_str())) return 0;
  for (std::size_t pos = 1; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != '/') continue;
    std::string prefix = p.substr(0, pos);
    if (::mkdir(prefix.c_str(), mode & 07777) == 0) {
      created.push_back(prefix);
      if (exact && !set_mode(prefix, mode & 07777)) return -1;
    } else if (errno != EEXIST) {
      return -1;
    }
    if (!is_directory(prefix.c_str())) {
      errno = ENOTDIR;
      return -1;
    }
  }
  return 0;
}
}  // namespace

int mkdir_p(const char* path, mode_t mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::vector<std::string> created;
  return make_path(path, mode, created, false);
}

int make_directories(const std::string& path, mode_t mode, std::vector<std::string>& created) {
  return make_path(path, mode, created, true);
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
// Every step goes through descriptors: the directory being walked is held
// open, its entries are changed with AT_SYMLINK_NOFOLLOW and entered with
// O_NOFOLLOW, so no name is resolved twice.
bool chown_below(int dir, uid_t uid, gid_t gid) {
  DIR* d = ::fdopendir(dir);
  if (d == nullptr) {
    ::close(dir);
    return false;
  }
  bool ok = true;
  while (struct dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (::fchownat(dir, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      // Not a directory (any more), or a link now: nothing to enter.
      if (errno != ENOTDIR && errno != ELOOP) ok = false;
      continue;
    }
    ok = chown_below(sub, uid, gid) && ok;
  }
  ::closedir(d);
  return ok;
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
  if (!recursive) return ::lchown(path, uid, gid) == 0 ? 1 : 0;
  int top = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) {
    // Not a directory, or a link: only the name itself changes.
    if (errno != ENOTDIR && errno != ELOOP) return 0;
    return ::lchown(path, uid, gid) == 0 ? 1 : 0;
  }
  if (::fchown(top, uid, gid) != 0) {
    ::close(top);
    return 0;
  }
  return chown_below(top, uid, gid) ? 1 : 0;
}

bool sync_directory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}
