#include "agent/storage/file_storage_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "agent/base/file_utils.h"
#include "agent/storage/storage_fault_seam.h"

namespace {

// Page-cache writes of several MiB at once run far slower than the same
// bytes in slices of a few hundred KiB (measured: 4 MiB writes at a third
// of the speed), so large blocks are written in slices.
constexpr std::size_t write_slice = 256u << 10;

std::string reason(const char* what, const std::string& path) {
  return std::string("failed to ") + what + " '" + path + "': " + strerror(errno);
}

// Directories of a pool are shared by every system that writes into it:
// group-writable, and set-group-ID so that what is made below keeps the
// group (sapsys for HANA's <sid>adm users) whoever makes it.
constexpr mode_t directory_mode = 02775;
constexpr mode_t object_mode = 0640;

std::string join(const std::string& dir, const std::string& base) { return dir == "/" ? "/" + base : dir + "/" + base; }

// ".<base>.tmp.<six characters>"
std::string temporary_name(const std::string& dir, const std::string& base) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::string suffix(6, 'x');
  for (char& c : suffix) c = letters[random() % (sizeof letters - 1)];
  return join(dir, "." + base + ".tmp." + suffix);
}

bool is_temporary_name(const char* name) { return name[0] == '.' && ::strstr(name, ".tmp.") != nullptr; }

Storage_Fault_Seam& seam() { return Storage_Fault_Seam::instance(); }

// Where an object's named temporaries go: the pool's ".tmp", so that the
// next opening of the pool finds those of killed writers wherever their
// objects were to go; the object's own directory where ".tmp" cannot be
// made or lies on another filesystem (a rename cannot cross).
std::string temporary_dir(const std::string& root, const std::string& dir) {
  const std::string tmp = join(root, ".tmp");
  if (::mkdir(tmp.c_str(), directory_mode) == 0) {
    ::chmod(tmp.c_str(), directory_mode);  // whatever the umask
  }
  struct stat t {
  }, d{};
  if (::lstat(tmp.c_str(), &t) != 0 || !S_ISDIR(t.st_mode) || ::stat(dir.c_str(), &d) != 0 || t.st_dev != d.st_dev)
    return dir;
  return tmp;
}

// A writer holds an exclusive lock on its named temporary until the rename,
// and the kernel drops it when the writer dies; a temporary on which a
// shared lock can be taken therefore belongs to nobody any more. Shared,
// because it needs only a descriptor open for reading, even on NFS (where
// an exclusive one needs a writable descriptor, which a member of the
// pool's group does not get on another system's temporary). The name is
// checked to still be the locked file, so an object that was just renamed
// away from it is never touched.
void remove_stale_in(const std::string& dir) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  DIR* d = ::fdopendir(dfd);
  if (d == nullptr) {
    ::close(dfd);
    return;
  }
  while (dirent* e = ::readdir(d)) {
    if (!is_temporary_name(e->d_name)) continue;
    int fd = ::openat(dfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {
    }, named{};
    if (seam().lock(fd, LOCK_SH | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        ::fstatat(dfd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      ::unlinkat(dfd, e->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(d);
}

class File_Writer : public Storage_Driver::Writer {
 public:
  /// `temp` empty: `fd` is an unnamed O_TMPFILE file that commit() links in
  /// (through a temporary name in `temp_dir` when it replaces an object).
  File_Writer(int fd, std::string temp, std::string temp_dir, std::string path, std::string root, bool overwrite,
              std::vector<std::string> made)
      : fd_(fd),
        temp_(std::move(temp)),
        temp_dir_(std::move(temp_dir)),
        path_(std::move(path)),
        root_(std::move(root)),
        overwrite_(overwrite),
        made_(std::move(made)) {}

  ~File_Writer() override { discard(); }

  bool write(const char* data, std::size_t size) override {
    if (fd_ < 0) return fail("'" + path_ + "' is no longer open for writing");
    if (const int injected = seam().fail(Storage_Fault_Seam::Op::write)) {
      errno = injected;
      return fail(reason("write", path_));
    }
    while (size > 0) {
      ssize_t n = ::write(fd_, data, std::min(size, write_slice));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(reason("write", path_));
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  bool commit() override {
    if (fd_ < 0) return fail("'" + path_ + "' is no longer open for writing");
    const int injected = seam().fail(Storage_Fault_Seam::Op::sync);
    if (injected != 0) errno = injected;
    if (injected != 0 || ::fsync(fd_) != 0) {
      std::string text = reason("sync", path_);
      discard();
      return fail(text);
    }
    std::string text;
    if (!publish(text)) {
      discard();
      return fail(text);
    }
    // Closed only now: a named temporary stays locked until it has its
    // final name, so no other writer takes it for a stale one.
    int rc = ::close(fd_);
    fd_ = -1;
    temp_.clear();
    if (rc != 0) return fail(reason("close", path_));
    // The new entry must survive a crash, and so must every directory made
    // on the way to it: each lives in its parent, synced up to the root,
    // and above it where the root itself was made.
    std::string dir = dirname_string(path_);
    for (;;) {
      if (!sync_directory(dir)) return fail(reason("sync the directory of", path_));
      if (dir.size() <= root_.size() || dir == "/") break;
      dir = dirname_string(dir);
    }
    for (const std::string& made : made_) {
      std::string parent = dirname_string(made);
      if (parent.size() < root_.size() && !sync_directory(parent)) return fail(reason("sync the directory of", made));
    }
    return true;
  }

 private:
  // Gives the synced data its final name; false with `text` on failure.
  bool publish(std::string& text) {
    if (const int injected = seam().fail(Storage_Fault_Seam::Op::rename)) {
      errno = injected;
      text = reason(temp_.empty() && !overwrite_ ? "link" : "rename", path_);
      return false;
    }
    if (temp_.empty()) {
      // An unnamed file gets a name through its /proc link; replacing an
      // object needs a rename, so it is linked under a temporary name first.
      std::string self = "/proc/self/fd/" + std::to_string(fd_);
      if (!overwrite_) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        text = errno == EEXIST ? "object '" + path_ + "' already exists" : reason("link", path_);
        return false;
      }
      std::string dir = dirname_string(path_);
      std::string base = path_.substr(dir.size() + (dir == "/" ? 0 : 1));
      for (int attempt = 0; temp_.empty(); ++attempt) {
        std::string name = temporary_name(temp_dir_, base);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
          temp_ = name;
        } else if (errno != EEXIST || attempt == 100) {
          text = reason("link", path_);
          return false;
        }
      }
    }
    int rc = overwrite_ ? ::rename(temp_.c_str(), path_.c_str())
                        : ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
    if (rc == 0) return true;
    text = errno == EEXIST ? "object '" + path_ + "' already exists" : reason("rename", path_);
    return false;
  }

  void discard() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_;
  std::string temp_;
  std::string temp_dir_;
  std::string path_;
  std::string root_;
  bool overwrite_;
  std::vector<std::string> made_;
};

class File_Reader : public Storage_Driver::Reader {
 public:
  File_Reader(int fd, std::string path, std::uint64_t size) : fd_(fd), path_(std::move(path)), size_(size) {}
  ~File_Reader() override { ::close(fd_); }

  std::uint64_t size() const override { return size_; }

  ssize_t read(char* buffer, std::size_t size) override {
    ssize_t got = read_full(fd_, buffer, size);
    return got < 0 ? fail(reason("read", path_)) : got;
  }

  bool read_at(std::uint64_t offset, char* buffer, std::size_t length) override {
    std::size_t got = 0;
    while (got < length) {
      ssize_t n = ::pread(fd_, buffer + got, length - got, static_cast<off_t>(offset + got));
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0) {
        fail("'" + path_ + "' is shorter than expected");
        return false;
      } else if (errno != EINTR) {
        fail(reason("read", path_));
        return false;
      }
    }
    return true;
  }

 private:
  int fd_;
  std::string path_;
  std::uint64_t size_;
};

}  // namespace

File_Storage_Driver::File_Storage_Driver(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string File_Storage_Driver::path_of(const std::string& name) const {
  if (name.empty()) return root_;
  return root_ == "/" ? "/" + name : root_ + "/" + name;
}

std::unique_ptr<Storage_Driver::Writer> File_Storage_Driver::open_write(const std::string& name, bool overwrite,
                                                                        std::string& error) {
  std::string path = path_of(name);
  std::string dir = dirname_string(path);
  std::vector<std::string> made;
  if (make_directories(dir, directory_mode, made) != 0) {
    error = reason("create the directory", dir);
    return nullptr;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = "'" + path + "' is a directory";
      return nullptr;
    }
    if (!overwrite) {
      error = "object '" + path + "' already exists";
      return nullptr;
    }
  }
  int fd = -1;
  std::string temp;
  if (const int injected = seam().fail(Storage_Fault_Seam::Op::create)) {
    errno = injected;
    error = reason("create a temporary file for", path);
    return nullptr;
  }
  if (anonymous_temporaries_ && !seam().named_temporaries()) {
    // Nothing of an unnamed file outlives a writer that is killed.
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, object_mode);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error = reason("create a temporary file for", path);
      return nullptr;
    }
    if (fd >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
      ::close(fd);  // no /proc to link it in through
      fd = -1;
    }
    // A replacement is linked under a temporary name before its rename;
    // the lock keeps that name from being taken for a stale one.
    if (fd >= 0) seam().lock(fd, LOCK_EX);
  }
  // Made only where a temporary will have a name: plain new objects of an
  // unnamed file leave no trace of it in the pool.
  const std::string temp_dir = fd < 0 || overwrite ? temporary_dir(root_, dir) : dir;
  if (fd < 0) {
    // A named temporary instead: those of killed writers are removed here
    // too (in directories that older versions wrote them to as well).
    remove_stale_in(temp_dir);
    if (temp_dir != dir) remove_stale_in(dir);
    std::string base = path.substr(dir.size() + (dir == "/" ? 0 : 1));
    for (int attempt = 0; fd < 0; ++attempt) {
      temp = temporary_name(temp_dir, base);
      fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, object_mode);
      if (fd < 0) {
        if (errno == EEXIST && attempt < 100) continue;
        error = reason("create a temporary file for", path);
        return nullptr;
      }
      // Locked until it is renamed. Another writer's clean-up may have
      // taken it for stale between the creation and the lock: start again.
      struct stat held {};
      if (seam().lock(fd, LOCK_EX) != 0 || ::fstat(fd, &held) != 0) {
        error = reason("lock a temporary file for", path);
        ::close(fd);
        ::unlink(temp.c_str());
        return nullptr;
      }
      if (held.st_nlink == 0 && attempt < 100) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  ::fchmod(fd, object_mode);  // the umask may have taken bits away
  return std::unique_ptr<Writer>(new File_Writer(fd, temp, temp_dir, path, root_, overwrite, std::move(made)));
}

namespace {

// ENOENT and ENOTDIR say the pool holds nothing there; any other errno
// (EACCES, EIO, ...) says the pool could not be searched.
Lookup_Status missing_or_failed(const std::string& why) {
  return errno == ENOENT || errno == ENOTDIR ? Lookup_Status::not_found(why) : Lookup_Status::failed(why);
}

}  // namespace

Lookup_Status File_Storage_Driver::open_read(const std::string& name, std::unique_ptr<Reader>& reader) {
  std::string path = path_of(name);
  // Only a regular file is an object. Anything else is refused before it is
  // opened (a pipe would block the open, a device may act on it), and the
  // open neither follows a link nor waits, in case the name changed since.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return missing_or_failed(reason("open", path));
  if (S_ISDIR(st.st_mode)) return Lookup_Status::not_found("'" + path + "' is a directory");
  if (!S_ISREG(st.st_mode)) return Lookup_Status::failed("'" + path + "' is not a regular file");
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return Lookup_Status::failed("'" + path + "' is not a regular file");
    return missing_or_failed(reason("open", path));
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Lookup_Status status = S_ISDIR(st.st_mode) ? Lookup_Status::not_found("'" + path + "' is a directory")
                                               : Lookup_Status::failed("'" + path + "' is not a regular file");
    ::close(fd);
    return status;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  reader.reset(new File_Reader(fd, path, static_cast<std::uint64_t>(st.st_size)));
  return Lookup_Status::found();
}

Lookup_Status File_Storage_Driver::stat(const std::string& name, std::uint64_t& size) {
  std::string path = path_of(name);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return missing_or_failed(reason("find", path));
  if (!S_ISREG(st.st_mode)) return Lookup_Status::not_found("'" + path + "' is not an object");
  size = static_cast<std::uint64_t>(st.st_size);
  return Lookup_Status::found();
}

bool File_Storage_Driver::list(const std::string& name, std::vector<std::string>& entries, std::string& error) {
  std::string path = path_of(name);
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    error = reason("list", path);
    return false;
  }
  entries.clear();
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    entries.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());
  return true;
}

bool File_Storage_Driver::remove(const std::string& name, std::string& error) {
  std::string path = path_of(name);
  if (::unlink(path.c_str()) == 0) return true;
  if ((errno == EISDIR || errno == EPERM) && ::rmdir(path.c_str()) == 0) return true;
  error = reason("remove", path);
  return false;
}

void File_Storage_Driver::remove_stale_temporaries() { remove_stale_in(join(root_, ".tmp")); }

Lookup_Status File_Storage_Driver::remove_if(const std::string& name, const std::function<bool(Reader&)>& belongs) {
  const std::string path = path_of(name);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return missing_or_failed(reason("remove", path));
  if (!S_ISREG(st.st_mode)) return Lookup_Status::not_found("'" + path + "' is not an object");
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return missing_or_failed(reason("remove", path));
  struct stat held {};
  if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
    ::close(fd);
    return Lookup_Status::not_found("'" + path + "' is not an object");
  }
  File_Reader reader(fd, path, static_cast<std::uint64_t>(held.st_size));
  if (!belongs(reader)) return Lookup_Status::not_found("'" + path + "' holds another object");
  // Aside under a temporary name (swept at the pool's next opening should
  // this process die now), then checked to be the file just read.
  const std::string dir = dirname_string(path);
  const std::string aside = temporary_name(temporary_dir(root_, dir), path.substr(dir.size() + (dir == "/" ? 0 : 1)));
  if (::rename(path.c_str(), aside.c_str()) != 0) return missing_or_failed(reason("remove", path));
  struct stat moved {};
  if (::lstat(aside.c_str(), &moved) == 0 && (moved.st_dev != held.st_dev || moved.st_ino != held.st_ino)) {
    // Replaced in between: the replacement goes back unless an even newer
    // object took the name meanwhile, which supersedes it as a write would.
    if (::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
      return Lookup_Status::not_found("'" + path + "' holds another object");
  }
  if (::unlink(aside.c_str()) != 0) return Lookup_Status::failed(reason("remove", path));
  if (!sync_directory(dir)) return Lookup_Status::failed(reason("sync the directory of", path));
  return Lookup_Status::found();
}
