#ifndef AGENT_FD_SOURCE_H
#define AGENT_FD_SOURCE_H

#include <string>

#include "agent/io/io_source.h"

/// Reads a file descriptor (file or pipe). read() keeps reading until the
/// buffer is full or the writer is gone, so a pipe yields whole blocks
/// rather than one pipe buffer at a time. `name` appears in error texts
/// ("failed to read '<name>': <reason>"). The descriptor is closed on
/// destruction when `owned`.
class Fd_Source : public IO_Source {
 public:
  Fd_Source(int fd, std::string name, bool owned);
  ~Fd_Source() override;

  ssize_t read(char* buffer, std::size_t size) override;

  int fd() const { return fd_; }

 private:
  int fd_;
  std::string name_;
  bool owned_;
};

#endif
