#ifndef AGENT_FD_SINK_H
#define AGENT_FD_SINK_H

#include <string>

#include "agent/io/io_sink.h"

/// Writes every byte to a file descriptor (file or pipe), retrying short
/// writes. finish() does nothing; syncing is the owner's business. `name`
/// appears in error texts ("failed to write '<name>': <reason>"). The
/// descriptor is never closed here. A write to a pipe whose reader has gone
/// fails with EPIPE; the caller must keep SIGPIPE from killing the process
/// (Client_IO_Ex writes pipes from a thread that blocks it).
class Fd_Sink : public IO_Sink {
 public:
  Fd_Sink(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

  bool write(const char* data, std::size_t size) override;
  bool finish() override { return true; }

 private:
  int fd_;
  std::string name_;
};

#endif
