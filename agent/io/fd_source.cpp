#include "agent/io/fd_source.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "agent/base/file_utils.h"

Fd_Source::Fd_Source(int fd, std::string name, bool owned) : fd_(fd), name_(std::move(name)), owned_(owned) {}

Fd_Source::~Fd_Source() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

ssize_t Fd_Source::read(char* buffer, std::size_t size) {
  ssize_t got = read_full(fd_, buffer, size);
  if (got < 0) return fail("failed to read '" + name_ + "': " + strerror(errno));
  return got;
}
