#include "agent/io/fd_sink.h"

#include <string.h>
#include <unistd.h>

#include <cerrno>

bool Fd_Sink::write(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("failed to write '" + name_ + "': " + strerror(errno));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
