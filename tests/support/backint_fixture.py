"""A HANA-like driver of hana-backint for sandboxed integration tests.

It does what HANA does around one Backint call: it makes the named pipes
below /usr/sap/<SID>/SYS/global/hdb/backint/<DB>/, writes the input file,
runs hana-backint as <sid>adm with the instance's environment and HANA's
arguments, writes (backup) or reads (restore) the pipes concurrently while
it runs, and parses the output file.

Typical use (inside tests/sandbox/run, PYTHONPATH = tests/support:tools):

    import backint_fixture as bf
    env = bf.Backint_Env.setup(sid="HXA", tenants=["T01"])   # system + backupd
    try:
        srv = env.backupd            # tools/backupd client.Backupd
        env.write_hana_conf("/srv/local")
        pipe = env.pipe_path("T01", "COMPLETE_DATA_BACKUP_databackup_3_1")
        data = bf.pattern(1, 100000)
        r = env.backup("T01", "COMPLETE", [(pipe, data)], backup_id=17,
                       tool_option="job_uuid=J;")
        r.exit, r.saved()            # {pipe: (ebid, size)}
        r.errors()                   # [(debug text, file)]
        env.restore(...)             # readers: {path: expected bytes}
    finally:
        env.teardown()

Objects in a file pool can be checked with object_info() and
object_data() (the envelope of agent/object_envelope.h).
"""
import fcntl
import hashlib
import errno
import json
import os
import pwd
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import time

import sandbox_env as sb

HOST_UUID = "5d0e7f7a-2b6c-4c1e-8e0d-3b9a1f2c4d5e"
ACCESS_KEY = "backint-test-access-key"
HANA_CONF = sb.AGENT_CONF_DIR + "/hana.conf"
ACT_DIR = "/var/opt/corvane/strovix3/agent/act"
CHUNK = 1 << 16

_TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|(\S+)')


def quote(text):
    """A name as HANA writes it in the input file: quoted, quotes escaped."""
    return '"%s"' % str(text).replace('"', '\\"')


def pattern(seed, size):
    """`size` deterministic bytes that differ per seed (not compressible to nothing)."""
    out = bytearray()
    block = hashlib.sha256(b"seed-%d" % seed).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 8
    return bytes(out[:size])


def parse_output_line(line):
    """(keyword, tokens) of one output line, quotes removed and \\" unescaped.
    A #DEBUG line gives ("#DEBUG", [rest of line])."""
    line = line.rstrip("\n")
    if not line.startswith("#"):
        return None, []
    keyword, _, rest = line.partition(" ")
    if keyword == "#DEBUG":
        return keyword, [rest]
    tokens = []
    for m in _TOKEN.finditer(rest):
        tokens.append(m.group(1).replace('\\"', '"') if m.group(1) is not None else m.group(2))
    return keyword, tokens


class Result:
    """One hana-backint run: exit code, output text and lines, stderr, pipes."""

    def __init__(self):
        self.exit = None
        self.output = ""        # the whole output file
        self.lines = []         # (keyword, tokens)
        self.stderr = ""        # stdout + stderr of the process
        self.pipes = {}         # path -> Pipe
        self.argv = []
        self.killed = False     # ended by kill_after

    def by_keyword(self, keyword):
        return [t for k, t in self.lines if k == keyword]

    def saved(self):
        """{file: (ebid, size)} from the #SAVED lines."""
        return {t[1]: (t[0], int(t[2])) for t in self.by_keyword("#SAVED")}

    def errors(self):
        """[(debug text, file)] for every error pair "#DEBUG <text>#ERROR "<file>""
        (the text usually ends in a newline, so the pair spans two lines)."""
        out = []
        for part in self.output.split("#DEBUG ")[1:]:
            m = re.search(r'^(.*?)#ERROR "((?:[^"\\]|\\.)*)"\n', part, re.S)
            if m:
                out.append((m.group(1), m.group(2).replace('\\"', '"')))
        return out


class Pipe:
    """One pipe served while backint runs. Writer: `data` (bytes) is written;
    with `die_after` only that many bytes are written and the pipe closed, as
    a writer that dies mid-stream. Reader (data None): what backint writes
    is collected in `content`."""

    def __init__(self, path, data=None, die_after=None):
        self.path = path
        self.data = data
        self.die_after = die_after
        self.content = bytearray()
        self.done = 0
        self.opened = False
        self.error = None


def _serve_writer(pipe, proc):
    fd = None
    while fd is None:
        try:
            fd = os.open(pipe.path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:
                pipe.error = "cannot open %s: %s" % (pipe.path, e.strerror)
                return
            if proc.poll() is not None:
                pipe.error = "backint ended without opening %s" % pipe.path
                return
            time.sleep(0.005)
    pipe.opened = True
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    data = pipe.data if pipe.die_after is None else pipe.data[:pipe.die_after]
    view = memoryview(data)
    try:
        while view:
            n = os.write(fd, view[:CHUNK])
            view = view[n:]
            pipe.done += n
    except BrokenPipeError:
        pipe.error = "backint closed %s after %d bytes" % (pipe.path, pipe.done)
    except OSError as e:
        pipe.error = "writing %s: %s" % (pipe.path, e.strerror)
    finally:
        os.close(fd)


def _serve_reader(pipe, proc):
    del proc
    try:
        fd = os.open(pipe.path, os.O_RDONLY)
    except OSError as e:
        pipe.error = "cannot open %s: %s" % (pipe.path, e.strerror)
        return
    pipe.opened = True
    try:
        while True:
            data = os.read(fd, CHUNK)
            if not data:
                break
            pipe.content += data
            pipe.done += len(data)
    finally:
        os.close(fd)


def _unblock_reader(path):
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass


# ------------------------------------------------------------------ objects


def object_info(path):
    """(compression, level, original size, CRC-32C of the original data) of
    a stored object file."""
    with open(path, "rb") as f:
        head = f.read(64)
        f.seek(-64, os.SEEK_END)
        tail = f.read(64)
    if head[:8] != b"SVXOBJ\x00\x01" or tail[:8] != b"SVXEND\x00\x01":
        raise AssertionError("%s is not a stored object" % path)
    _, compression, level = struct.unpack("<IIi", head[8:20])
    original, _ = struct.unpack("<QQ", tail[8:24])
    return compression, level, original, struct.unpack("<I", tail[24:28])[0]


def object_data(path):
    """The original data of a stored object (none or zstd compression),
    checked against the size its trailer records."""
    compression, _, original, _ = object_info(path)
    with open(path, "rb") as f:
        raw = f.read()
    payload = raw[64:-64]
    if compression in (0, 1):
        data = payload
    elif compression == 3:
        data = subprocess.run(["zstd", "-d", "-c", "-q"], input=payload, capture_output=True, check=True).stdout
    else:
        raise AssertionError("cannot decode compression %d of %s" % (compression, path))
    if len(data) != original:
        raise AssertionError("%s holds %d bytes, its trailer says %d" % (path, len(data), original))
    return data


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def files_below(directory):
    """Relative paths of every file below `directory`, sorted."""
    out = []
    for root, _, names in os.walk(directory):
        for n in names:
            out.append(os.path.relpath(os.path.join(root, n), directory))
    return sorted(out)


# ------------------------------------------------------------------ the environment


class Backint_Env:
    """A simulated HANA system, a development backupd whose address and key
    hana-backint finds in its access key file, and the hana-backint link."""

    def __init__(self, sid, multi_container, backupd, hana_sim):
        self.sid = sid
        self.multi_container = multi_container
        self.backupd = backupd
        self.hana_sim = hana_sim
        self.user = hana_sim.adm_user(sid)
        self.program = "/usr/sap/%s/SYS/global/hdb/opt/hana-backint" % sid
        # Retries of the server requests do not really sleep.
        self.env_overrides = {"STROVIX3_BACKOFF_SCALE": "0.001"}

    @classmethod
    def setup(cls, sid="HXA", multi_container=True, tenants=("T01",), landscape_id=None, start_backupd=True):
        import hana_sim
        from backupd.client import Backupd
        kwargs = {}
        if landscape_id:
            kwargs["landscape_id"] = landscape_id
        hana_sim.install(sid=sid, multi_container=multi_container, tenants=list(tenants), **kwargs)
        hana_sim.link_backint(sid)
        workdir = tempfile.mkdtemp(prefix="backupd-")
        srv = Backupd(workdir=workdir, host_uuid=HOST_UUID, access_key=ACCESS_KEY)
        env = cls(sid, multi_container, srv, hana_sim)
        if start_backupd:
            srv.start()
            env.point_agent_at(srv.port)
        return env

    def point_agent_at(self, port):
        """Writes the agent configuration and hana-backint's access key file
        for a backupd on `port`."""
        sb.write_agent_conf(HOST_UUID, port=port, access_key=ACCESS_KEY)
        r = sb.write_access_key_file()
        if r.returncode != 0:
            raise AssertionError("hana-access-key failed: %s" % r.stderr)

    def teardown(self):
        try:
            self.backupd.stop()
        finally:
            self.hana_sim.uninstall(self.sid)

    # --- files the agent writes ------------------------------------------
    def landscape_id(self):
        return self.hana_sim.get_ini(self.sid, "nameserver.ini")["landscape"]["id"]

    def instance_name(self):
        return self.hana_sim.state(self.sid)["instance_name"]

    def write_hana_conf(self, location=None, text=None):
        """hana.conf with "local_backup": {"location": location}, or `text` as is;
        both None removes it."""
        os.makedirs(sb.AGENT_CONF_DIR, exist_ok=True)
        if location is None and text is None:
            if os.path.exists(HANA_CONF):
                os.unlink(HANA_CONF)
            return
        with open(HANA_CONF, "w") as f:
            f.write(text if text is not None else json.dumps({"local_backup": {"location": location}}))
        os.chmod(HANA_CONF, 0o644)

    def ondemand_path(self, database=""):
        name = "log_backup_%s_%s" % (self.sid, self.instance_name())
        if database:
            name += "_" + database
        return sb.HANA_WORK_DIR + "/" + name

    def write_ondemand(self, database, conf):
        """The ondemand configuration (a dict, or text written as is) for a
        database ("" for the instance-wide file); None removes it."""
        path = self.ondemand_path(database)
        os.makedirs(sb.HANA_WORK_DIR, exist_ok=True)
        os.chmod(sb.HANA_WORK_DIR, 0o755)
        if conf is None:
            if os.path.exists(path):
                os.unlink(path)
            return path
        with open(path, "w") as f:
            f.write(conf if isinstance(conf, str) else json.dumps(conf))
        os.chmod(path, 0o644)
        return path

    @staticmethod
    def write_job_activity(job_uuid, state):
        """The agent's activity record of a job definition in `state`."""
        os.makedirs(ACT_DIR, exist_ok=True)
        os.chmod(ACT_DIR, 0o755)
        record = struct.pack("<II16si", 0x5443414A, 1, b"\0" * 16, state) + b"\0" * (256 - 28)
        path = "%s/%s.act" % (ACT_DIR, job_uuid)
        with open(path, "wb") as f:
            f.write(record)
        os.chmod(path, 0o644)
        return path

    @staticmethod
    def make_pool_dir(path, mode=0o777):
        """A pool directory that <sid>adm may write."""
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path

    # --- pipes ------------------------------------------------------------
    def database_dir(self, database):
        if not self.multi_container:
            return self.sid
        return database if database == "SYSTEMDB" else "DB_" + database

    def pipe_path(self, database, name):
        return "/usr/sap/%s/SYS/global/hdb/backint/%s/%s" % (self.sid, self.database_dir(database), name)

    def make_pipe(self, path):
        owner = pwd.getpwnam(self.user)
        directory = os.path.dirname(path)
        os.makedirs(directory, exist_ok=True)
        d = directory
        while d.startswith("/usr/sap/%s/SYS/global/hdb/backint" % self.sid):
            os.chown(d, owner.pw_uid, owner.pw_gid)
            d = os.path.dirname(d)
        if os.path.lexists(path):
            os.unlink(path)
        os.mkfifo(path, 0o600)
        os.chown(path, owner.pw_uid, owner.pw_gid)

    def user_id(self, database):
        if self.multi_container:
            return "%s@%s" % (database, self.sid)
        return self.sid

    # --- running ------------------------------------------------------------
    def run(self, function, level, input_lines, database, pipes=(), backup_id=None, user_id=None,
            extra_args=(), timeout=120, in_file_text=None, kill_after=None):
        """Runs hana-backint once like HANA. `pipes`: Pipe objects to serve
        (their fifos are made here). `in_file_text` replaces the input file's
        text (for malformed input). `kill_after`: seconds after the start at
        which the process is killed with SIGKILL, as in a crash, unless it
        ended before (Result.killed says which). Returns a Result."""
        result = Result()
        workdir = tempfile.mkdtemp(prefix="hdbbackint_%s." % self.sid)
        owner = pwd.getpwnam(self.user)
        os.chown(workdir, owner.pw_uid, owner.pw_gid)
        in_file = os.path.join(workdir, "in")
        out_file = os.path.join(workdir, "out")
        with open(in_file, "w") as f:
            f.write(in_file_text if in_file_text is not None else "".join(l + "\n" for l in input_lines))
        os.chown(in_file, owner.pw_uid, owner.pw_gid)
        for p in pipes:
            self.make_pipe(p.path)
            result.pipes[p.path] = p
        argv = [self.program, "-u", user_id or self.user_id(database), "-f", function, "-i", in_file,
                "-o", out_file]
        if backup_id is not None:
            argv += ["-s", str(backup_id)]
        argv += ["-c", str(len(pipes))]
        if level:
            argv += ["-l", level]
        argv += list(extra_args)
        result.argv = argv
        state = self.hana_sim.state(self.sid)
        from hana_sim import system
        env = system.service_environment(state)
        env.pop("HANA_SIM_WATCH", None)
        for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "STROVIX3_BACKOFF_SCALE"):
            if k in os.environ:
                env[k] = os.environ[k]
        env.update(self.env_overrides)
        console = os.path.join(workdir, "console")
        try:
            with open(console, "w") as con:
                proc = subprocess.Popen(argv, env=env, cwd="/", stdin=subprocess.DEVNULL, stdout=con,
                                        stderr=subprocess.STDOUT, close_fds=True, user=owner.pw_uid,
                                        group=owner.pw_gid, extra_groups=[sb.SAPSYS_GID])
            threads = []
            for p in pipes:
                target = _serve_writer if p.data is not None else _serve_reader
                t = threading.Thread(target=target, args=(p, proc), daemon=True)
                t.start()
                threads.append(t)
            try:
                if kill_after is not None:
                    try:
                        proc.wait(kill_after)
                    except subprocess.TimeoutExpired:
                        proc.kill()
                        result.killed = True
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise AssertionError("hana-backint did not end within %d seconds" % timeout)
            for p, t in zip(pipes, threads):
                if p.data is None:
                    t.join(2)
                    if t.is_alive():
                        _unblock_reader(p.path)
                t.join(30)
            result.exit = proc.returncode
            if os.path.exists(out_file):
                with open(out_file, errors="replace") as f:
                    result.output = f.read()
            with open(console, errors="replace") as f:
                result.stderr = f.read()
            for line in result.output.splitlines():
                keyword, tokens = parse_output_line(line)
                if keyword:
                    result.lines.append((keyword, tokens))
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
            for p in pipes:
                if os.path.lexists(p.path):
                    os.unlink(p.path)
        return result

    def backup(self, database, level, sources, backup_id=None, tool_option=None, software_id="1.50",
               sizes=False, die_after=None, extra_lines=(), **kwargs):
        """A backup of `sources` ([(pipe path, bytes)]) as HANA runs it:
        "#SOFTWAREID", "#TOOLOPTION" when given, one "#PIPE" line each (with
        the size when `sizes`). `die_after`: {path: bytes written before the
        writer dies}."""
        lines = ['#SOFTWAREID "backint %s" "HANA HDB server 2.00.070.00.1700000000"' % software_id]
        if tool_option is not None:
            lines.append('#TOOLOPTION "%s"' % tool_option)
        lines += list(extra_lines)
        pipes = []
        for path, data in sources:
            lines.append("#PIPE %s%s" % (quote(path), " %d" % len(data) if sizes else ""))
            pipes.append(Pipe(path, data, (die_after or {}).get(path)))
        return self.run("backup", level, lines, database, pipes, backup_id=backup_id, **kwargs)

    def restore(self, database, entries, readers, software_id="1.50", **kwargs):
        """A restore: `entries` are the input lines after "#SOFTWAREID";
        `readers` the pipe paths to read (their content in Result.pipes)."""
        lines = ['#SOFTWAREID "backint %s" "HANA HDB server 2.00.070.00.1700000000"' % software_id]
        lines += list(entries)
        pipes = [Pipe(p) for p in readers]
        return self.run("restore", None, lines, database, pipes, **kwargs)
