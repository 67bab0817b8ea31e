#include "agent/io/fd_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

Fd_Sink::Fd_Sink(int fd, std::string name, Stall_Limit limit)
    : fd_(fd), name_(std::move(name)), limited_(true), limit_(std::move(limit)) {
  const int fl = ::fcntl(fd_, F_GETFL);
  if (fl < 0 || ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0) limited_ = false;  // unbounded, but still correct
}

bool Fd_Sink::wait_writable(Clock::time_point since) {
  for (;;) {
    Clock::time_point until = since;
    if (limit_.activity) until = std::max(until, limit_.activity());
    until += limit_.timeout;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit_.timeout).count();
      return fail("no reader took data from '" + name_ + "' within " + std::to_string(seconds) + " seconds");
    }
    struct pollfd p {
      fd_, POLLOUT, 0
    };
    // In slices, so that activity elsewhere can move the deadline.
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n > 0) return true;  // writable, or an error that the write reports
    if (n < 0 && errno != EINTR) return fail("failed to wait for the reader of '" + name_ + "': " + strerror(errno));
  }
}

bool Fd_Sink::write(const char* data, std::size_t size) {
  Clock::time_point progress = limited_ ? Clock::now() : Clock::time_point();
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (limited_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!wait_writable(progress)) return false;
        continue;
      }
      return fail("failed to write '" + name_ + "': " + strerror(errno));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    if (limited_) progress = Clock::now();
  }
  return true;
}
