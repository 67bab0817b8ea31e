#include "agent/io/pipe_opener.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace {

std::string seconds_text(Pipe_Opener::Clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

bool clear_nonblock(int fd, const std::string& path, std::string& error) {
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0 && ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == 0) return true;
  error = "failed to set '" + path + "' to blocking: " + strerror(errno);
  return false;
}

}  // namespace

std::chrono::milliseconds Pipe_Opener::pause(unsigned attempts) {
  return std::chrono::milliseconds(attempts < 10 ? 2 : attempts < 40 ? 20 : 100);
}

Pipe_Opener::Clock::time_point Pipe_Opener::deadline(Clock::time_point start, Clock::duration timeout,
                                                     const Activity& activity) {
  Clock::time_point from = start;
  if (activity) from = std::max(from, activity());
  return from + timeout;
}

int Pipe_Opener::open_read(const std::string& path, int flags, bool wait_missing, Clock::duration timeout,
                           std::string& error, const Activity& activity) {
  const Clock::time_point start = Clock::now();
  int fd;
  for (unsigned attempt = 0;; ++attempt) {
    // A reader never waits in open() with O_NONBLOCK, with or without a writer.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | flags);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (errno != ENOENT || !wait_missing) {
      error = "failed to open '" + path + "' for reading: " + strerror(errno);
      return -1;
    }
    if (Clock::now() >= deadline(start, timeout, activity)) {
      error = "'" + path + "' did not appear within " + seconds_text(timeout) + " seconds";
      return -1;
    }
    std::this_thread::sleep_for(pause(attempt));
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // Opened before any writer, the pipe reports neither data nor hang-up
    // until a writer has come: poll waits exactly for the writer.
    for (;;) {
      const Clock::time_point until = deadline(start, timeout, activity);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left < 0) left = 0;
      struct pollfd p {
        fd, POLLIN, 0
      };
      // In slices, so that activity elsewhere can move the deadline.
      int n = ::poll(&p, 1, static_cast<int>(left > 1000 ? 1000 : left));
      if (n > 0) break;
      if (n < 0 && errno != EINTR) {
        error = "failed to wait for a writer of '" + path + "': " + strerror(errno);
        ::close(fd);
        return -1;
      }
      if (n == 0 && Clock::now() >= deadline(start, timeout, activity)) {
        error = "no writer opened '" + path + "' within " + seconds_text(timeout) + " seconds";
        ::close(fd);
        return -1;
      }
    }
  }
  if (!clear_nonblock(fd, path, error)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

Pipe_Opener::Attempt Pipe_Opener::try_open_read(const std::string& path, int flags, bool wait_missing, int& fd,
                                                std::string& error) {
  if (fd < 0) {
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == ENOENT && wait_missing) return Attempt::waiting;
      error = "failed to open '" + path + "' for reading: " + strerror(errno);
      return Attempt::failed;
    }
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    struct pollfd p {
      fd, POLLIN, 0
    };
    int n;
    do {
      n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return Attempt::waiting;
    if (n < 0) {
      error = "failed to wait for a writer of '" + path + "': " + strerror(errno);
      return Attempt::failed;
    }
  }
  if (!clear_nonblock(fd, path, error)) return Attempt::failed;
  return Attempt::opened;
}

Pipe_Opener::Attempt Pipe_Opener::try_open_write(const std::string& path, int flags, bool wait_missing, int& fd,
                                                 std::string& error) {
  fd = -1;
  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && wait_missing && errno == ENOENT) return Attempt::waiting;
  bool fifo = exists && S_ISFIFO(st.st_mode);
  do {
    // O_NONBLOCK matters only for a pipe: there it fails with ENXIO
    // instead of waiting for a reader.
    fd = ::open(path.c_str(), O_WRONLY | flags | (fifo ? O_NONBLOCK : 0), 0640);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (fifo && errno == ENXIO) return Attempt::waiting;
    error = "failed to open '" + path + "' for writing: " + strerror(errno);
    return Attempt::failed;
  }
  if (fifo && !clear_nonblock(fd, path, error)) {
    ::close(fd);
    fd = -1;
    return Attempt::failed;
  }
  return Attempt::opened;
}

int Pipe_Opener::open_write(const std::string& path, int flags, bool wait_missing, Clock::duration timeout,
                            std::string& error, const Activity& activity) {
  const Clock::time_point start = Clock::now();
  for (unsigned attempt = 0;; ++attempt) {
    int fd = -1;
    switch (try_open_write(path, flags, wait_missing, fd, error)) {
      case Attempt::opened:
        return fd;
      case Attempt::failed:
        return -1;
      case Attempt::waiting:
        break;
    }
    if (Clock::now() >= deadline(start, timeout, activity)) {
      error = "no reader opened '" + path + "' within " + seconds_text(timeout) + " seconds";
      return -1;
    }
    std::this_thread::sleep_for(pause(attempt));
  }
}
