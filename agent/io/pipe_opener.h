#ifndef AGENT_PIPE_OPENER_H
#define AGENT_PIPE_OPENER_H

#include <chrono>
#include <functional>
#include <string>

/// Opens files and named pipes without ever waiting for an unbounded time.
///
/// A plain open() of a named pipe blocks until the other end is opened,
/// which may never happen (the peer died, or opens its pipes in another
/// order than ours). These calls open with O_NONBLOCK, wait for the peer
/// with a limit, and hand back a descriptor with O_NONBLOCK cleared, so
/// that the transfer itself blocks as usual.
///
/// Stateless and thread-safe. Errors name the path and the reason.
class Pipe_Opener {
 public:
  using Clock = std::chrono::steady_clock;

  /// Until when the peer counts as busy with other pipes of the same call
  /// (a time in the past, or the epoch, when it is not): a wait ends only
  /// `timeout` after the later of its own start and that time, so a pipe
  /// that the peer serves after others does not time out while the others
  /// are moving.
  using Activity = std::function<Clock::time_point()>;

  enum class Attempt {
    opened,   // `fd` is set
    waiting,  // no reader yet, or the path does not exist yet: try again later
    failed,   // `error` says why
  };

  /// Opens `path` for reading with O_RDONLY | `flags`. With `wait_missing`
  /// a path that does not exist yet is waited for. A named pipe is waited
  /// for until its writer has written data or has come and closed it. Each
  /// wait ends at `deadline`, after which the call fails ("no writer
  /// opened '<path>' within <n> seconds" or "'<path>' did not appear ...").
  /// A regular file opens at once. Returns the descriptor, or -1 with
  /// `error`.
  static int open_read(const std::string& path, int flags, bool wait_missing, Clock::duration timeout,
                       std::string& error, const Activity& activity = Activity());

  /// One attempt, without waiting, of open_read: with `fd` still -1 the
  /// path is opened with O_NONBLOCK (from then on a writer can open the
  /// pipe; the caller keeps `fd` across attempts and closes it when it gives
  /// up). `opened` (O_NONBLOCK cleared) once the writer has written data or
  /// has come and closed it, and at once for anything but a named pipe;
  /// `waiting` while the path does not exist yet (with `wait_missing`) or
  /// the pipe has no writer yet.
  static Attempt try_open_read(const std::string& path, int flags, bool wait_missing, int& fd, std::string& error);

  /// One attempt, without waiting, to open `path` for writing with
  /// O_WRONLY | `flags` (mode 0640 when created). A named pipe without a
  /// reader, and with `wait_missing` a path that does not exist yet, give
  /// `waiting`; anything else opens as open() would.
  static Attempt try_open_write(const std::string& path, int flags, bool wait_missing, int& fd, std::string& error);

  /// try_open_write until it opens, fails or `timeout` passes (then it
  /// fails with "no reader opened '<path>' within <n> seconds"). Returns
  /// the descriptor, or -1 with `error`.
  static int open_write(const std::string& path, int flags, bool wait_missing, Clock::duration timeout,
                        std::string& error, const Activity& activity = Activity());

  /// When a wait that started at `start` ends (see Activity).
  static Clock::time_point deadline(Clock::time_point start, Clock::duration timeout, const Activity& activity);

  /// The pause between two attempts after `attempts` of them: short at
  /// first (a peer usually opens within milliseconds), growing to 100 ms.
  static std::chrono::milliseconds pause(unsigned attempts);
};

#endif
