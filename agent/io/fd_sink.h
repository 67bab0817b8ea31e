#ifndef AGENT_FD_SINK_H
#define AGENT_FD_SINK_H

#include <chrono>
#include <functional>
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
  using Clock = std::chrono::steady_clock;

  /// Bounds the wait for a reader that has the pipe open but takes no
  /// data: a write fails once `timeout` has passed since the later of its
  /// own last progress and `activity()` (when set: the last moment other
  /// transfers of the same peer moved data), with "no reader took data
  /// from '<name>' within <n> seconds".
  struct Stall_Limit {
    Clock::duration timeout;
    std::function<Clock::time_point()> activity;
  };

  Fd_Sink(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  /// With a stall limit the descriptor is switched to O_NONBLOCK (the sink
  /// then waits in poll with the limit); it stays so.
  Fd_Sink(int fd, std::string name, Stall_Limit limit);

  bool write(const char* data, std::size_t size) override;
  bool finish() override { return true; }

 private:
  bool wait_writable(Clock::time_point since);

  int fd_;
  std::string name_;
  bool limited_ = false;
  Stall_Limit limit_{};
};

#endif
