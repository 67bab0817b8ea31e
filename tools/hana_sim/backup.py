"""Data and catalog backups and catalog deletions through backint (log
backups: log_backups.py, recoveries: recovery.py), run the way the
simulated HANA runs them: named pipes below
/usr/sap/<SID>/SYS/global/hdb/backint/<DB_x|SYSTEMDB|SID>/, a Backint input
file, /usr/sap/<SID>/SYS/global/hdb/opt/hana-backint started as <sid>adm with
HANA's arguments, every pipe fed or drained concurrently, the output file
read back and the result recorded in the backup catalog.

Data written into backup pipes is generated from a seed (system, database,
backup id, volume) so that a recovery can check every byte it reads. A
catalog backup holds the JSON text of the database's catalog entries, so a
recovery "using catalog backint" learns the EBIDs from what it restored.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

from . import common
from . import content
from . import pipes
from . import system
from .common import SimError
from .programs import SqlError

CHUNK = 1 << 20
CATALOG_NAME = "log_backup_0_0_0_0"
LEVEL_ENTRY_TYPES = {"COMPLETE": "complete data backup", "INCREMENTAL": "incremental data backup",
                     "DIFFERENTIAL": "differential data backup"}
# A data backup between its start and its end: "cancel pending" from a BACKUP
# CANCEL until backint has been ended.
RUNNING_STATES = ("running", "cancel pending")


# ---------------------------------------------------------------- data


def generated(seed, size):
    """The reproducible content of one backed-up object, in chunks."""
    offset = 0
    index = 0
    while offset < size:
        n = min(CHUNK, size - offset)
        yield hashlib.shake_256(("%s#%d" % (seed, index)).encode()).digest(n)
        offset += n
        index += 1


def throttled(chunks, rate):
    """`chunks` re-cut into pieces of a tenth of `rate` and handed out at
    `rate` bytes per second (state backint.data_rate), so that a backup runs
    long enough for its progress to be read and for a cancel to reach it."""
    if not rate:
        yield from chunks
        return
    piece = max(4096, int(rate) // 10)
    start = time.monotonic()
    sent = 0
    for chunk in chunks:
        for offset in range(0, len(chunk), piece):
            part = chunk[offset:offset + piece]
            ahead = start + sent / float(rate) - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
            yield part
            sent += len(part)


def database_dir_name(state, database):
    if not state["multi_container"]:
        return state["sid"]
    return "SYSTEMDB" if database == "SYSTEMDB" else "DB_" + database


def pipe_dir(state, database):
    return "%s/%s" % (common.backint_dir(state["sid"]), database_dir_name(state, database))


def user_id(state, database):
    if not state["multi_container"]:
        return state["sid"]
    return "%s@%s" % (database, state["sid"])


def volumes(state, database):
    """[(volume id, service name)] of a database's data backup."""
    db = state["databases"][database]
    if db.get("volumes"):
        return [(v["volume"], v["service"]) for v in db["volumes"]]
    if not state["multi_container"]:
        return [(0, "topology"), (1, "nameserver"), (2, "indexserver")]
    if database == "SYSTEMDB":
        return [(0, "topology"), (1, "nameserver")]
    index = [n for n in state["databases"] if n != "SYSTEMDB"].index(database)
    return [(0, "topology"), (3 + 2 * index, "indexserver")]


def data_size(state, volume):
    # Odd sizes that differ per volume catch short and mixed-up transfers.
    return int(state["backint"].get("data_size", 65536)) + 4093 * int(volume)


def ini_true(sid, database, key):
    """The [backup] switch `key` of global.ini (SYSTEM layer, overridden by
    the database's own layer)."""
    value = None
    for db in (None, database):
        ini = system.read_ini(_ini_path(sid, db))
        if "backup" in ini and key in ini["backup"]:
            value = ini["backup"][key]
    return str(value).lower() in ("true", "yes", "1", "on")


def _ini_path(sid, database):
    from .sql import ini_path
    return ini_path(sid, "global.ini", database)


# ---------------------------------------------------------------- running backint


def _quote(text):
    return '"%s"' % str(text).replace('"', '\\"')


_TOKEN = re.compile(r'"((?:[^"\\]|\\.)*)"|(\S+)')


def parse_output_line(line):
    """('#SAVED', [tokens]) with quotes removed and \\" unescaped."""
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


class PipeJob:
    """One pipe of a backint run: written (backup) or read (restore); served
    by pipes.Serving."""

    def __init__(self, path, chunks=None, expected=None, keep=False):
        self.path = path
        self.keep = keep
        self.content = bytearray()
        self.chunks = chunks          # iterable of bytes to write
        self.expected = expected      # iterable of bytes a restore must read
        self.done = 0
        self.error = None
        self.opened = False
        self.timed_out = False        # backint did not open it within backint.response_timeout
        self.opened_at = None         # time.monotonic() of the open and of the end of the stream
        self.closed_at = None
        self.die_after = None         # bytes written before the simulated service stops
        self.digest = hashlib.sha256()


def make_pipe(sid, path):
    directory = os.path.dirname(path)
    missing = []
    while directory and not os.path.isdir(directory):
        missing.append(directory)
        directory = os.path.dirname(directory)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    owner = None
    if os.geteuid() == 0:
        import pwd
        owner = pwd.getpwnam(common.adm_user(sid)).pw_uid
        # Directories HANA creates belong to <sid>adm, whoever ran the statement.
        for d in missing:
            os.chown(d, owner, -1)
    if os.path.lexists(path):
        os.unlink(path)
    os.mkfifo(path, 0o600)
    if owner is not None:
        os.chown(path, owner, -1)


class BackintResult:
    def __init__(self):
        self.exit = None
        self.lines = []           # (keyword, tokens)
        self.output_text = ""
        self.console = ""
        self.errors = []          # texts of failures the simulated HANA saw

    def by_keyword(self, keyword):
        return [t for k, t in self.lines if k == keyword]


def run_backint(sid, state, database, function, level, backup_id, input_lines, jobs,
                cancel_check=None, progress=None):
    """Runs hana-backint once, like HANA does, with the pipe jobs served by
    pipes.Serving (concurrently, or restores in the configured order).
    Returns a BackintResult; logs the call with the pipes' timing."""
    result = BackintResult()
    link = common.backint_link(sid)
    if not os.path.exists(link):
        result.errors.append("[110091] Invalid path selected for backint: %s does not exist" % link)
        return result
    try:
        setting = pipes.settings(state)
    except pipes.SettingError as e:
        result.errors.append("[110096] %s" % e)
        return result
    user = common.adm_user(sid)
    # Inside the system's own tree, which the sandbox keeps private.
    workdir = tempfile.mkdtemp(prefix="hdbbackint_", dir=common.sim_dir(sid))
    in_file = os.path.join(workdir, "in")
    out_file = os.path.join(workdir, "out")
    with open(in_file, "w") as f:
        f.write("".join(line + "\n" for line in input_lines))
    argv = [link, "-u", user_id(state, database), "-f", function, "-i", in_file, "-o", out_file]
    if backup_id is not None:
        argv += ["-s", str(backup_id)]
    argv += ["-c", str(len(jobs))]
    if level:
        argv += ["-l", level]
    par = state["backint"].get("par_file")
    if par:
        argv += ["-p", par]
    env = system.service_environment(state)
    env.pop("HANA_SIM_WATCH", None)
    for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "STROVIX3_BACKOFF_SCALE"):
        if k in os.environ:
            env[k] = os.environ[k]
    kwargs = {}
    if os.geteuid() == 0:
        uid, gid, groups = common.user_ids(user)
        os.chown(workdir, uid, gid)
        os.chown(in_file, uid, gid)
        kwargs = {"user": uid, "group": gid, "extra_groups": groups}
    trace = "%s/%s/trace" % (common.instance_dir(sid, state["instance_number"]), state["host"])
    console = os.path.join(workdir, "console")
    entry = {"program": "hana-backint", "argv": argv[1:], "user": user, "db_user": None,
             "database": database, "statement": function, "input": list(input_lines),
             "output": [], "exit": None}
    try:
        with open(console, "w") as con:
            proc = subprocess.Popen(argv, env=env, cwd=trace if os.path.isdir(trace) else "/",
                                    stdin=subprocess.DEVNULL, stdout=con, stderr=subprocess.STDOUT,
                                    close_fds=True, **kwargs)
        serving = pipes.Serving(setting, function, jobs, proc)
        timeout = float(state["backint"].get("timeout", 600))
        deadline = time.monotonic() + timeout
        canceled = False
        late = None
        while proc.poll() is None:
            if time.monotonic() > deadline:
                proc.kill()
                result.errors.append("[110094] backint did not end within %d seconds" % timeout)
                break
            late = serving.late()
            if late:
                pipes.end_process(proc)
                result.errors.append(late)
                break
            if cancel_check and cancel_check():
                proc.terminate()
                canceled = True
                break
            if progress:
                progress(sum(j.done for j in jobs))
            time.sleep(0.1)
        proc.wait()
        serving.finish()
        late = late or serving.late()
        if late and late not in result.errors:
            result.errors.append(late)
        entry["pipes"] = serving.report()
        result.exit = proc.returncode
        if canceled:
            result.errors.append("Backup was canceled by user")
        try:
            with open(out_file, errors="replace") as f:
                result.output_text = f.read()
        except OSError:
            result.output_text = ""
        with open(console, errors="replace") as f:
            result.console = f.read()[-4000:]
        for line in result.output_text.splitlines():
            keyword, tokens = parse_output_line(line)
            if keyword:
                result.lines.append((keyword, tokens))
        entry["output"] = result.output_text.splitlines()
        entry["exit"] = result.exit
        if result.exit != 0 and not canceled and not late:
            result.errors.append("[110507] Backint exited with exit code %s instead of 0. console output: %s"
                                 % (result.exit, result.console.strip().replace("\n", " | ")))
        for tokens in result.by_keyword("#ERROR"):
            result.errors.append("[110203] Backint reported an error for %s" % (tokens[0] if tokens else "?"))
    finally:
        common.append_call(sid, entry)
        if not state["backint"].get("keep_files"):
            shutil.rmtree(workdir, ignore_errors=True)
    return result


def _version_line(state):
    return '#SOFTWAREID "backint %s" "HANA HDB server %s"' % (
        state["backint"].get("software_id", "1.50"), state["version"])


def _channels(state):
    # A bad setting is reported by run_backint, which refuses to start.
    try:
        return pipes.settings(state).channels
    except pipes.SettingError:
        return 1


def _pipe_line(state, path, size):
    try:
        setting = pipes.settings(state).pipe_sizes
    except pipes.SettingError:
        setting = None
    return pipes.pipe_line(setting, _quote(path), size)


def _ebid(state, ebid):
    return _quote(ebid) if state["backint"].get("quote_ebid", True) else ebid


# ---------------------------------------------------------------- statements


def execute(conn, statement):
    from .sql import Result
    upper = " ".join(statement.upper().split())
    if upper.startswith("BACKUP DATA"):
        backup_data(conn, statement)
        return Result("none")
    if upper.startswith("BACKUP CANCEL"):
        cancel(conn, statement)
        return Result("none")
    if upper.startswith("BACKUP CATALOG DELETE"):
        catalog_delete(conn, statement)
        return Result("none")
    if upper.startswith("RECOVER"):
        if not conn.is_system_db or "FOR" not in upper.split()[:4]:
            raise SqlError(448, "recovery could not be completed: the system database can only be "
                           "recovered through an instance start")
        from . import recovery
        recovery.recover(conn.sid, statement, tenant=True)
        return Result("none")
    word = statement.split()[1] if len(statement.split()) > 1 else statement
    raise SqlError(257, 'sql syntax error: incorrect syntax near "%s": line 1 col 1 (at pos 1)' % word)


def _target_database(conn, name):
    st = conn.state
    if name is None:
        return conn.database
    if not st["multi_container"]:
        raise SqlError(7, "feature not supported: FOR <database> on a single-container system")
    if not conn.is_system_db:
        raise SqlError(258, "insufficient privilege: FOR <database> needs the system database")
    key = "SYSTEMDB" if name.upper() == "SYSTEMDB" else name
    if key not in st["databases"]:
        raise SqlError(2, "general error: database %s does not exist" % name)
    return key


_BACKUP_DATA = re.compile(
    r"^BACKUP\s+DATA(?:\s+(INCREMENTAL|DIFFERENTIAL))?(?:\s+FOR\s+(\S+))?\s+USING\s+BACKINT\s*\(\s*'((?:[^']|'')*)'\s*\)"
    r"(?:\s+TOOLOPTION\s+'((?:[^']|'')*)')?(?:\s+COMMENT\s+'((?:[^']|'')*)')?\s*;?$", re.I | re.S)


def backup_data(conn, statement):
    m = _BACKUP_DATA.match(statement.strip())
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "%s": line 1 col 1 (at pos 1)'
                       % statement.strip()[:40])
    level = (m.group(1) or "COMPLETE").upper()
    database = _target_database(conn, m.group(2))
    prefix = m.group(3).replace("''", "'")
    tooloption = m.group(4).replace("''", "'") if m.group(4) is not None else None
    comment = m.group(5).replace("''", "'") if m.group(5) is not None else ""
    sid = conn.sid
    state = common.load_state(sid)
    if not state["databases"][database].get("active", True):
        raise SqlError(448, "backup could not be completed: [3000046] database %s is not online" % database)
    if not prefix or prefix.startswith("/") and not prefix.startswith(common.backint_dir(sid) + "/"):
        raise SqlError(448, "backup could not be completed: [110091] Invalid path selected for data backup "
                       "using backint: %s" % prefix)
    base_id = None
    if level != "COMPLETE":
        kinds = ["complete data backup"] if level == "DIFFERENTIAL" else list(LEVEL_ENTRY_TYPES.values())
        earlier = [e for e in state["backup_catalog"] if e["database"] == database
                   and e["entry_type_name"] in kinds and e["state_name"] == "successful"]
        if not earlier:
            raise SqlError(448, "backup could not be completed: [3000171] No complete data backup found "
                           "as the base of a %s data backup" % level.lower())
        base_id = earlier[-1]["backup_id"]

    from . import catalog
    with common.state_update(sid) as st:
        if any(e["database"] == database and e["state_name"] in RUNNING_STATES
               and e["entry_type_name"] in LEVEL_ENTRY_TYPES.values() for e in st["backup_catalog"]):
            raise SqlError(448, "backup could not be completed: [3000101] a data backup of %s is already running"
                           % database)
        entry = catalog.new_entry(st, database, LEVEL_ENTRY_TYPES[level], "running", None, None, [])
        entry["comment"] = comment
        entry["sim_content"] = content.snapshot(st, database)
        backup_id = entry["backup_id"]
        st["backup_progress"] = [p for p in st["backup_progress"] if p.get("database") != database]
        st["backup_progress"].append({
            "backup_id": backup_id, "database": database, "entry_type_name": entry["entry_type_name"],
            "state_name": "running", "utc_start_time": entry["utc_start_time"],
            "sys_start_time": entry["sys_start_time"], "backup_size": 0, "transferred_size": 0,
            "host": st["host"], "service_name": "indexserver"})
    _backup_log(state, database, "SAVE DATA started [%d]" % backup_id)
    _apart_from_client(lambda: _save_data(sid, state, database, level, prefix, tooloption, base_id, backup_id))


def _apart_from_client(work):
    """Runs `work` the way HANA runs a backup: in the server, not in the
    client. It runs in a child process of a session of its own (hana-backint
    with it), which the client waits for; a client that is ended meanwhile
    (hdbsql killed) leaves the backup running to its end, as in HANA, where
    only BACKUP CANCEL stops it. The client then answers with the work's
    SqlError, or success."""
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        result = {}
        try:
            os.close(rfd)
            os.setsid()
            devnull = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            work()
        except SqlError as e:
            result = {"code": e.code, "text": e.text}
        except BaseException as e:  # noqa: B902 - everything must reach the client
            result = {"code": 2, "text": "general error: %s" % e}
        try:
            os.write(wfd, json.dumps(result).encode())
        finally:
            os._exit(0)
    os.close(wfd)
    data = b""
    while True:
        chunk = os.read(rfd, 65536)
        if not chunk:
            break
        data += chunk
    os.close(rfd)
    os.waitpid(pid, 0)
    result = json.loads(data.decode() or '{"code": 2, "text": "general error: the backup ended without an answer"}')
    if "code" in result:
        raise SqlError(result["code"], result["text"])


def _save_data(sid, state, database, level, prefix, tooloption, base_id, backup_id):
    directory = prefix if prefix.startswith("/") else "%s/%s" % (pipe_dir(state, database), prefix)
    jobs, files = [], []
    for volume, service in volumes(state, database):
        for channel, size in pipes.split(data_size(state, volume), _channels(state)):
            if level == "COMPLETE":
                path = "%s_databackup_%d_%d" % (directory, volume, channel)
            else:
                path = "%s_databackup_%s_%d_%d_%d_%d" % (directory, level.lower(), base_id, backup_id, volume,
                                                         channel)
            seed = pipes.channel_seed("%s/%s/%d/%d" % (sid, database, backup_id, volume), channel)
            make_pipe(sid, path)
            jobs.append(PipeJob(path, chunks=throttled(generated(seed, size), state["backint"].get("data_rate"))))
            files.append({"source_id": volume, "source_type_name": "volume", "service_type_name": service,
                          "destination_type_name": "backint", "destination_path": path, "backup_size": size,
                          "sim_seed": seed, "host": state["host"]})
    total = sum(f["backup_size"] for f in files)
    with common.state_update(sid) as st:
        for p in st["backup_progress"]:
            if p["backup_id"] == backup_id:
                p["backup_size"] = total
        # HANA lists the files of a running backup (without EBIDs yet), so a
        # running backup is found through M_BACKUP_CATALOG_FILES too.
        for e in st["backup_catalog"]:
            if e["backup_id"] == backup_id:
                e["files"] = [dict(f, entry_id=e["entry_id"], redo_log_position=None, external_backup_id=None)
                              for f in files]

    lines = [_version_line(state)]
    if tooloption is not None:
        lines.append("#TOOLOPTION %s" % _quote(tooloption))
    lines += [_pipe_line(state, f["destination_path"], f["backup_size"]) for f in files]

    def canceled():
        return backup_id in common.load_state(sid).get("cancel_requests", [])

    last = {"t": 0.0}

    def progress(done):
        if time.monotonic() - last["t"] >= 0.5:
            last["t"] = time.monotonic()
            with common.state_update(sid) as st:
                for p in st["backup_progress"]:
                    if p["backup_id"] == backup_id:
                        p["transferred_size"] = done

    result = run_backint(sid, state, database, "backup", level, backup_id, lines, jobs,
                         cancel_check=canceled, progress=progress)
    errors = list(result.errors)
    saved = {t[1]: t for t in result.by_keyword("#SAVED") if len(t) >= 2}
    for job, f in zip(jobs, files):
        if job.error and not errors:
            errors.append("[110203] %s" % job.error)
        t = saved.get(job.path)
        if t is None:
            if not errors:
                errors.append("[110204] Backint did not report %s as saved" % job.path)
            continue
        f["external_backup_id"] = t[0]
        if len(t) >= 3 and t[2].isdigit() and int(t[2]) != job.done:
            errors.append("[110205] Backint reported %s bytes for %s, %d were written" % (t[2], job.path, job.done))
    for j in jobs:
        try:
            os.unlink(j.path)
        except OSError:
            pass
    canceled_now = "Backup was canceled by user" in errors
    state_name = "canceled" if canceled_now else ("failed" if errors else "successful")
    with common.state_update(sid) as st:
        for e in st["backup_catalog"]:
            if e["backup_id"] == backup_id:
                now = common.format_ts(common.utc_now())
                e["state_name"] = state_name
                e["utc_end_time"] = e["sys_end_time"] = now
                e["message"] = "<ok>" if not errors else "; ".join(errors)
                e["files"] = [dict(f, entry_id=e["entry_id"], redo_log_position=None) for f in files
                              if f.get("external_backup_id") or not errors]
        for p in st["backup_progress"]:
            if p["backup_id"] == backup_id:
                p["state_name"] = state_name
                p["transferred_size"] = sum(j.done for j in jobs)
        if backup_id in st.get("cancel_requests", []):
            st["cancel_requests"].remove(backup_id)
    if errors:
        _backup_log(state, database, "SAVE DATA finished with error: %s" % errors[0])
        if canceled_now:
            raise SqlError(448, "backup could not be completed: [447] Backup was canceled by user")
        raise SqlError(448, "backup could not be completed: %s" % "; ".join(errors))
    _backup_log(state, database, "SAVE DATA finished successfully")
    if ini_true(sid, database, "catalog_backup_using_backint"):
        try:
            catalog_backup(sid, database)
        except SimError as e:
            common.log(sid, "catalog backup after data backup %d failed: %s" % (backup_id, e))


def cancel(conn, statement):
    m = re.match(r"^BACKUP\s+CANCEL(?:\s+FOR\s+(\S+))?\s+(\d+)\s*;?$", statement.strip(), re.I)
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "CANCEL": line 1 col 8 (at pos 8)')
    database = _target_database(conn, m.group(1))
    backup_id = int(m.group(2))
    with common.state_update(conn.sid) as st:
        running = [e for e in st["backup_catalog"] if e["backup_id"] == backup_id
                   and e["database"] == database and e["state_name"] in RUNNING_STATES]
        if not running:
            raise SqlError(448, "backup could not be canceled: [3000106] no running backup with id %d" % backup_id)
        running[0]["state_name"] = "cancel pending"
        for p in st["backup_progress"]:
            if p["backup_id"] == backup_id:
                p["state_name"] = "cancel pending"
        if backup_id not in st.setdefault("cancel_requests", []):
            st["cancel_requests"].append(backup_id)


# ---------------------------------------------------------------- log and catalog backups


def _catalog_text(state, database):
    entries = [e for e in state["backup_catalog"] if e["database"] == database]
    return json.dumps({"sid": state["sid"], "database": database, "entries": entries},
                      sort_keys=True).encode()


def _single_object_backup(sid, database, entry_type, path_of, content_of, source_type, cancel_check=None):
    """One backint call saving one pipe as a new catalog entry; returns the
    backup id. Raises SimError when backint did not save it."""
    from . import catalog
    with common.state_update(sid) as st:
        entry = catalog.new_entry(st, database, entry_type, "running", None, None, [])
        backup_id = entry["backup_id"]
        content, seed, size, extra = content_of(st, backup_id)
    state = common.load_state(sid)
    path = path_of(state, backup_id)
    make_pipe(sid, path)
    job = PipeJob(path, chunks=iter([content]) if content is not None else generated(seed, size))
    lines = [_version_line(state), _pipe_line(state, path, len(content) if content is not None else size)]
    result = run_backint(sid, state, database, "backup", state["backint"].get("log_level", "LOG"),
                         backup_id, lines, [job], cancel_check=cancel_check)
    errors = list(result.errors)
    if job.error and not errors:
        errors.append(job.error)
    saved = [t for t in result.by_keyword("#SAVED") if len(t) >= 2 and t[1] == path]
    if not saved and not errors:
        errors.append("backint did not report %s as saved" % path)
    try:
        os.unlink(path)
    except OSError:
        pass
    with common.state_update(sid) as st:
        for e in st["backup_catalog"]:
            if e["backup_id"] == backup_id:
                now = common.format_ts(common.utc_now())
                e["state_name"] = "failed" if errors else "successful"
                e["utc_end_time"] = e["sys_end_time"] = now
                e["message"] = "; ".join(errors) or "<ok>"
                f = {"entry_id": e["entry_id"], "source_id": extra.get("volume", 0),
                     "source_type_name": source_type, "host": st["host"],
                     "service_type_name": extra.get("service", "nameserver"),
                     "redo_log_position": extra.get("last"), "destination_type_name": "backint",
                     "destination_path": path, "backup_size": job.done,
                     "external_backup_id": saved[0][0] if saved else None, "sim_seed": seed}
                if content is not None:
                    f["sim_sha256"] = hashlib.sha256(content).hexdigest()
                e["files"] = [f]
    if errors:
        raise SimError("%s backup %d of %s failed: %s" % (entry_type, backup_id, database, "; ".join(errors)))
    return backup_id


def catalog_backup(sid, database, cancel_check=None):
    """HANA's backup of its backup catalog through backint; returns its id."""
    def path_of(state, backup_id):
        return "%s/%s.%d" % (pipe_dir(state, database), CATALOG_NAME, backup_id)

    def content_of(st, backup_id):
        return _catalog_text(st, database), None, 0, {"volume": 0}

    return _single_object_backup(sid, database, "log backup", path_of, content_of, "catalog", cancel_check)


# ---------------------------------------------------------------- catalog deletion


def catalog_delete(conn, statement):
    m = re.match(r"^BACKUP\s+CATALOG\s+DELETE(?:\s+FOR\s+(\S+))?\s+(ALL\s+BEFORE\s+)?BACKUP_ID\s+(\d+)"
                 r"(?:\s+WITH\s+(BACKINT|FILE))?(\s+COMPLETE)?\s*;?$", statement.strip(), re.I)
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "DELETE": line 1 col 16 (at pos 16)')
    database = _target_database(conn, m.group(1))
    backup_id = int(m.group(3))
    before = bool(m.group(2))
    physical = bool(m.group(5)) or (m.group(4) or "").upper() == "BACKINT"
    state = common.load_state(conn.sid)
    chosen = [e for e in state["backup_catalog"] if e["database"] == database and
              (e["backup_id"] < backup_id if before else e["backup_id"] == backup_id)]
    if not chosen and not before:
        raise SqlError(448, "catalog deletion failed: [3000110] backup %d not found" % backup_id)
    if physical:
        files = [f for e in chosen for f in e.get("files", []) if f.get("external_backup_id")]
        if files:
            lines = [_version_line(state)] + ["#EBID %s %s" % (_ebid(state, f["external_backup_id"]),
                                                               _quote(f["destination_path"])) for f in files]
            result = run_backint(conn.sid, state, database, "delete", None, None, lines, [])
            if result.errors:
                raise SqlError(448, "catalog deletion failed: %s" % "; ".join(result.errors))
            answered = {t[0] for t in result.by_keyword("#DELETED") + result.by_keyword("#NOTFOUND") if t}
            missing = [f["external_backup_id"] for f in files if f["external_backup_id"] not in answered]
            if missing:
                raise SqlError(448, "catalog deletion failed: backint did not answer for %s" % ", ".join(missing))
    ids = {e["backup_id"] for e in chosen}
    with common.state_update(conn.sid) as st:
        st["backup_catalog"] = [e for e in st["backup_catalog"]
                                if not (e["database"] == database and e["backup_id"] in ids)]


# ---------------------------------------------------------------- instance start


def recover_on_start(sid, out):
    """HDB start with <instance>/work/recoverInstance.sql: the statement
    recovers the system database (or the only database); the file is removed
    after a successful recovery and kept after a failed one."""
    state = common.load_state(sid)
    path = "%s/work/recoverInstance.sql" % common.instance_dir(sid, state["instance_number"])
    if not os.path.isfile(path):
        return 0
    with open(path) as f:
        statement = f.read().strip()
    from . import recovery
    try:
        recovery.recover(sid, statement, tenant=False)
    except SqlError as e:
        out.err.append(e.render())
        system.stop_instance(sid)
        return 1
    os.unlink(path)
    out.out.append("Recovery finished successfully")
    return 0


def _backup_log(state, database, text):
    trace = "%s/%s/trace" % (common.instance_dir(state["sid"], state["instance_number"]), state["host"])
    if state["multi_container"] and database != "SYSTEMDB":
        trace += "/DB_" + database
    try:
        os.makedirs(trace, exist_ok=True)
        now = common.utc_now()
        with open(trace + "/backup.log", "a") as f:
            f.write("%s+00:00  P%07d      %011x INFO    BACKUP   %s\n"
                    % (now.strftime("%Y-%m-%dT%H:%M:%S"), os.getpid() % 10000000,
                       int(time.time() * 1000) & 0xFFFFFFFFFFF, text))
    except OSError:
        pass
