"""Paths, the per-system state file, the call log and process helpers of the
simulated HANA systems.

Everything a simulated system owns lives below /usr/sap/<SID>; the simulator's
own files are in /usr/sap/<SID>/.sim:

  state.json   the system's state (see README.md), read and written under lock
  calls.jsonl  one JSON object per call of a fake program, in call order
  lock         flock(2) target serialising every read-modify-write
  lib/         a private copy of this package, used by the fake programs
  daemon.pid   process id of the listener while the instance runs
  daemon.log   what the listener and the programs report about themselves

The paths are the production ones: the simulator runs only in the test
sandbox, where /usr/sap is a private tmpfs.
"""

import contextlib
import datetime
import fcntl
import grp
import json
import os
import pwd
import signal
import socket
import sys
import time

SAPSYS_GROUP = "sapsys"


def usr_sap():
    return "/usr/sap"


def sid_dir(sid):
    return "%s/%s" % (usr_sap(), sid)


def sim_dir(sid):
    return sid_dir(sid) + "/.sim"


def state_path(sid):
    return sim_dir(sid) + "/state.json"


def calls_path(sid):
    return sim_dir(sid) + "/calls.jsonl"


def lock_path(sid):
    return sim_dir(sid) + "/lock"


def lib_dir(sid):
    return sim_dir(sid) + "/lib"


def daemon_pid_path(sid):
    return sim_dir(sid) + "/daemon.pid"


def daemon_log_path(sid):
    return sim_dir(sid) + "/daemon.log"


def instance_name(number):
    return "HDB%02d" % int(number)


def instance_dir(sid, number):
    return "%s/%s" % (sid_dir(sid), instance_name(number))


def exe_dir(sid, number):
    return instance_dir(sid, number) + "/exe"


def global_dir(sid):
    return sid_dir(sid) + "/SYS/global/hdb"


def config_dir(sid):
    return global_dir(sid) + "/custom/config"


def profile_dir(sid):
    return sid_dir(sid) + "/SYS/profile"


def backint_dir(sid):
    return global_dir(sid) + "/backint"


def backint_link(sid):
    return global_dir(sid) + "/opt/hana-backint"


def sapservices_path():
    return usr_sap() + "/sapservices"


def adm_user(sid):
    return sid.lower() + "adm"


def installed_sids():
    """SIDs of all simulated systems below /usr/sap, sorted."""
    out = []
    try:
        names = sorted(os.listdir(usr_sap()))
    except OSError:
        return out
    for name in names:
        if os.path.isfile(state_path(name)):
            out.append(name)
    return out


class SimError(Exception):
    """A simulator operation that cannot be carried out; the text says why."""


# ---------------------------------------------------------------- time


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)


def format_ts(dt):
    """HANA's timestamp text as stored in the state: microseconds, no zone."""
    return dt.strftime("%Y-%m-%d %H:%M:%S.%f")


# ---------------------------------------------------------------- state


def load_state(sid):
    path = state_path(sid)
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        raise SimError("system %s is not installed (no %s)" % (sid, path))
    except ValueError as e:
        raise SimError("state file %s is not valid JSON: %s" % (path, e))


def _owner_ids(sid):
    try:
        uid = pwd.getpwnam(adm_user(sid)).pw_uid
    except KeyError:
        uid = -1
    try:
        gid = grp.getgrnam(SAPSYS_GROUP).gr_gid
    except KeyError:
        gid = -1
    return uid, gid


def share_with_adm(sid, path, mode=0o660):
    """Gives a file of the simulator to <sid>adm:sapsys so that programs run
    as root and as the administration user can both update it."""
    if os.geteuid() == 0:
        uid, gid = _owner_ids(sid)
        try:
            os.chown(path, uid, gid)
        except OSError:
            pass
    try:
        os.chmod(path, mode)
    except OSError:
        pass


def save_state(sid, state):
    path = state_path(sid)
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        json.dump(state, f, indent=2)
        f.write("\n")
    share_with_adm(sid, tmp)
    os.replace(tmp, path)


@contextlib.contextmanager
def locked(sid):
    """Exclusive lock of the system's simulator files."""
    fd = os.open(lock_path(sid), os.O_RDWR | os.O_CREAT, 0o660)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def state_update(sid):
    """Reads the state under lock and writes it back when the block ends
    without an exception."""
    with locked(sid):
        state = load_state(sid)
        yield state
        save_state(sid, state)


# ---------------------------------------------------------------- call log


def append_call(sid, entry):
    """Appends one call to the call log; concurrent callers never interleave."""
    path = calls_path(sid)
    line = json.dumps(entry, sort_keys=False) + "\n"
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o660)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, line.encode())
    finally:
        os.close(fd)


def read_calls(sid, program=None):
    out = []
    try:
        with open(calls_path(sid)) as f:
            for line in f:
                line = line.strip()
                if not line:
                    continue
                entry = json.loads(line)
                if program is None or entry.get("program") == program:
                    out.append(entry)
    except FileNotFoundError:
        pass
    return out


def clear_calls(sid):
    with open(calls_path(sid), "w"):
        pass
    share_with_adm(sid, calls_path(sid))


def log(sid, text):
    """The simulator's own diagnostics (never passwords)."""
    try:
        with open(daemon_log_path(sid), "a") as f:
            f.write("%s [%d] %s\n" % (format_ts(utc_now()), os.getpid(), text))
    except OSError:
        pass


# ---------------------------------------------------------------- processes


def pid_alive(pid):
    if not pid or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie counts as gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0] != "Z"
    except (OSError, IndexError):
        return False


def kill_and_wait(pid, timeout=10.0):
    if not pid_alive(pid):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not pid_alive(pid):
            return
        time.sleep(0.02)
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass


def user_ids(user):
    pw = pwd.getpwnam(user)
    groups = [g.gr_gid for g in grp.getgrall() if user in g.gr_mem]
    return pw.pw_uid, pw.pw_gid, groups


def spawn_detached(argv, env, user=None, executable=None, cwd="/"):
    """Starts a process that outlives its starter (double fork, new session)
    and returns its pid. With `user` the process runs with the real and
    effective ids of that user; this needs root unless it is the caller."""
    if user is not None:
        uid, gid, groups = user_ids(user)
    rfd, wfd = os.pipe()
    first = os.fork()
    if first == 0:
        try:
            os.close(rfd)
            os.setsid()
            second = os.fork()
            if second != 0:
                os.write(wfd, str(second).encode())
                os._exit(0)
            os.close(wfd)
            devnull = os.open("/dev/null", os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            os.closerange(3, 65536)
            if user is not None and os.geteuid() != uid:
                os.setgroups(groups)
                os.setgid(gid)
                os.setuid(uid)
            os.chdir(cwd)
            os.execve(executable or argv[0], argv, env)
        finally:
            os._exit(127)
    os.close(wfd)
    data = b""
    while True:
        chunk = os.read(rfd, 64)
        if not chunk:
            break
        data += chunk
    os.close(rfd)
    os.waitpid(first, 0)
    return int(data) if data else 0


def host_address(state):
    """The loopback address that stands for this host of the landscape:
    127.0.0.1 for the first, 127.0.0.2 for the second, ...; the hosts of one
    scale-out system then listen on the same ports without meeting."""
    names = [h["name"] for h in state.get("hosts", [])]
    return "127.0.0.%d" % (names.index(state["host"]) + 1 if state.get("host") in names else 1)


def port_listening(port, host="127.0.0.1"):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(1.0)
    try:
        s.connect((host, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def sandbox_marker():
    """A file that exists exactly while the test sandbox lives; the
    simulator's background processes end when it disappears."""
    scratch = os.environ.get("HANA_SANDBOX_SCRATCH")
    if not scratch:
        return None
    return scratch + "/.hana_sim_alive"


def eprint(*args):
    print(*args, file=sys.stderr)
