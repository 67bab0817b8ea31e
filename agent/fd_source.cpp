#include "agent/fd_source.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

Fd_Source::Fd_Source(int fd, std::string name, bool owned) : fd_(fd), name_(std::move(name)), owned_(owned) {}

Fd_Source::~Fd_Source() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

ssize_t Fd_Source::read(char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd_, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return fail("failed to read '" + name_ + "': " + strerror(errno));
    }
  }
  return static_cast<ssize_t>(got);
}
