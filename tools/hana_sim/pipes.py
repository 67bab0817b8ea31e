"""How the simulated HANA serves the named pipes of one backint call.

HANA writes (backup) and reads (recovery) every pipe of a call at the same
time, one per backup channel, and gives up on a pipe that backint does not
open within backint_response_timeout. The settings below live in the
system's state under "backint" (see README.md, "Backup channels and pipe
serving"); settings() checks them strictly so that a typo in a test fails
the statement instead of silently changing nothing.
"""

import errno
import fcntl
import os
import re
import select
import signal
import threading
import time

CHUNK = 1 << 20
MAX_CHANNELS = 32
RESTORE_ORDERS = (None, "input", "reverse")
PIPE_SIZES = (None, "exact", "larger", "smaller")
POLL_SECONDS = 0.05


class Settings:
    def __init__(self, channels=1, response_timeout=None, restore_order=None, pipe_sizes=None, die_after=None):
        self.channels = channels
        self.response_timeout = response_timeout
        self.restore_order = restore_order
        self.pipe_sizes = pipe_sizes
        self.die_after = die_after or {}


class SettingError(Exception):
    pass


def settings(state):
    """The pipe settings of a system; raises SettingError naming the bad key."""
    b = state.get("backint", {})
    channels = b.get("channels", 1)
    if isinstance(channels, bool) or not isinstance(channels, int) or not 1 <= channels <= MAX_CHANNELS:
        raise SettingError("backint.channels must be a whole number from 1 to %d, not %r" % (MAX_CHANNELS, channels))
    timeout = b.get("response_timeout")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout <= 0):
        raise SettingError("backint.response_timeout must be a positive number of seconds or null, not %r" % timeout)
    order = b.get("restore_order")
    if order not in RESTORE_ORDERS:
        raise SettingError("backint.restore_order must be null, \"input\" or \"reverse\", not %r" % (order,))
    sizes = b.get("pipe_sizes")
    if sizes not in PIPE_SIZES:
        raise SettingError("backint.pipe_sizes must be null, \"exact\", \"larger\" or \"smaller\", not %r" % (sizes,))
    die_after = b.get("die_after") or {}
    if not isinstance(die_after, dict):
        raise SettingError("backint.die_after must be an object {\"<regex>\": bytes}, not %r" % (die_after,))
    for pattern, n in die_after.items():
        try:
            re.compile(pattern)
        except re.error as e:
            raise SettingError("backint.die_after: bad regular expression %r: %s" % (pattern, e))
        if isinstance(n, bool) or not isinstance(n, int) or n < 0:
            raise SettingError("backint.die_after[%r] must be a byte count, not %r" % (pattern, n))
    return Settings(channels, timeout, order, sizes, die_after)


def split(size, channels):
    """[(channel, bytes)]: a volume's data spread over its channels, numbered
    from 1; the first channels take the remainder."""
    return [(c, size // channels + (1 if c <= size % channels else 0)) for c in range(1, channels + 1)]


def channel_seed(seed, channel):
    # Channel 1 keeps the seed a single-channel backup had, so that old
    # catalog entries and new ones read alike.
    return seed if channel == 1 else "%s/%d" % (seed, channel)


def announced_size(setting, size):
    """The size a #PIPE line announces under `pipe_sizes`, or None."""
    if setting is None:
        return None
    if setting == "exact":
        return size
    delta = size // 8 + 1
    return size + delta if setting == "larger" else max(0, size - delta)


def pipe_line(setting, quoted_path, size):
    announced = announced_size(setting, size)
    return "#PIPE %s" % quoted_path if announced is None else "#PIPE %s %d" % (quoted_path, announced)


def late_message(path, seconds):
    return "[110095] backint did not open %s within %g seconds (backint_response_timeout)" % (path, seconds)


# ---------------------------------------------------------------- serving


class Serving:
    """The threads that serve the pipes of one running backint. Backups:
    every pipe written at once. Restores: every pipe read at once, or with
    `restore_order` one after another (the next opened when the previous
    one reached its end), as HANA replays logs."""

    def __init__(self, setting, function, jobs, proc):
        self.setting = setting
        self.jobs = jobs
        self.proc = proc
        self.start = time.monotonic()
        self.threads = []
        for job in jobs:
            job.die_after = _die_after(setting, job.path) if job.chunks is not None else None
        readers = [j for j in jobs if j.chunks is None]
        writers = [j for j in jobs if j.chunks is not None]
        for job in writers:
            self._thread(_write_pipe, self, job)
        if function == "restore" and setting.restore_order is not None and readers:
            order = readers if setting.restore_order == "input" else list(reversed(readers))
            self._thread(self._read_in_order, order)
        else:
            for job in readers:
                self._thread(_read_pipe, self, job, self.deadline(self.start))

    def _thread(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        t.start()
        self.threads.append(t)

    def deadline(self, since):
        t = self.setting.response_timeout
        return None if t is None else since + t

    def _read_in_order(self, order):
        for job in order:
            _read_pipe(self, job, self.deadline(time.monotonic()))
            if job.timed_out:
                return

    def late(self):
        """The message of the first pipe backint did not open in time, or None."""
        for job in self.jobs:
            if job.timed_out:
                return late_message(job.path, self.setting.response_timeout)
        return None

    def finish(self):
        """Waits (bounded) for the serving threads once backint has ended;
        they notice its end themselves (a reader waiting for it in poll, a
        writer or reader blocked in I/O through the closed pipe)."""
        deadline = time.monotonic() + 30
        for t in self.threads:
            t.join(max(0.0, deadline - time.monotonic()))

    def report(self):
        """Per pipe, for the call log: seconds from the start of backint to
        the open and to the end of the stream, bytes moved, the error."""
        def rel(t):
            return None if t is None else round(t - self.start, 3)
        return [{"path": j.path, "opened": rel(j.opened_at), "closed": rel(j.closed_at), "bytes": j.done,
                 "error": j.error} for j in self.jobs]


def end_process(proc, grace=10):
    """Ends backint the way HANA does when it gives up on it: SIGTERM, then
    SIGKILL when it does not end within `grace` seconds."""
    if proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(grace)
    except Exception:  # noqa: BLE001 - TimeoutExpired or a vanished process
        proc.kill()
        proc.wait(grace)


def _die_after(setting, path):
    for pattern, n in setting.die_after.items():
        if re.search(pattern, path):
            return n
    return None


def _write_pipe(serving, job):
    proc = serving.proc
    deadline = serving.deadline(serving.start)
    fd = None
    while fd is None:
        try:
            fd = os.open(job.path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:
                job.error = "cannot open %s: %s" % (job.path, e.strerror)
                return
            if proc.poll() is not None:
                job.error = "backint ended without opening %s" % job.path
                return
            if deadline is not None and time.monotonic() > deadline:
                job.timed_out = True
                job.error = late_message(job.path, serving.setting.response_timeout)
                return
            time.sleep(0.005)
    job.opened = True
    job.opened_at = time.monotonic()
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    left = job.die_after
    try:
        for chunk in job.chunks:
            view = memoryview(chunk)
            if left is not None:
                view = view[:left]
                left -= len(view)
            while view:
                n = os.write(fd, view)
                view = view[n:]
                job.done += n
            if left == 0:
                job.error = "the simulated service stopped writing %s after %d bytes" % (job.path, job.done)
                break
    except BrokenPipeError:
        job.error = "backint closed %s after %d bytes" % (job.path, job.done)
    except OSError as e:
        job.error = "writing %s: %s" % (job.path, e.strerror)
    finally:
        job.closed_at = time.monotonic()
        os.close(fd)


def _wait_for_writer(fd, proc, deadline):
    """"ready" once backint opened the pipe and wrote or closed it, "ended"
    when backint ended without opening it, "late" after the deadline. A
    FIFO read end opened without blocking reports nothing until a writer has
    come, so poll tells the three apart."""
    p = select.poll()
    p.register(fd, select.POLLIN)
    while True:
        if p.poll(POLL_SECONDS * 1000):
            return "ready"
        if proc.poll() is not None:
            return "ready" if p.poll(0) else "ended"
        if deadline is not None and time.monotonic() > deadline:
            return "late"


def _read_pipe(serving, job, deadline):
    try:
        fd = os.open(job.path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        job.error = "cannot open %s: %s" % (job.path, e.strerror)
        return
    expected = iter(job.expected) if job.expected is not None else None
    pending = b""
    mismatch_at = None
    try:
        waited = _wait_for_writer(fd, serving.proc, deadline)
        if waited == "late":
            job.timed_out = True
            job.error = late_message(job.path, serving.setting.response_timeout)
            return
        if waited == "ready":
            job.opened = True
            job.opened_at = time.monotonic()
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
            while True:
                data = os.read(fd, CHUNK)
                if not data:
                    break
                job.digest.update(data)
                if job.keep:
                    job.content += data
                if expected is not None and mismatch_at is None:
                    pos = 0
                    while pos < len(data):
                        if not pending:
                            pending = next(expected, b"")
                            if not pending:
                                mismatch_at = job.done + pos
                                break
                        n = min(len(pending), len(data) - pos)
                        if data[pos:pos + n] != pending[:n]:
                            mismatch_at = job.done + pos
                            break
                        pending = pending[n:]
                        pos += n
                job.done += len(data)
            job.closed_at = time.monotonic()
    finally:
        os.close(fd)
    if expected is not None and mismatch_at is None and (pending or next(expected, b"")):
        job.error = "%s: only %d bytes restored" % (job.path, job.done)
    elif mismatch_at is not None:
        job.error = "%s: restored data differs from the backup at byte %d" % (job.path, mismatch_at)
