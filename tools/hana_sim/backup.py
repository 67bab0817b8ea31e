"""Backups, recoveries and catalog deletions through backint, run the way
the simulated HANA runs them: named pipes below
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
from . import pipes
from . import system
from .common import SimError
from .programs import SqlError

CHUNK = 1 << 20
CATALOG_NAME = "log_backup_0_0_0_0"
LEVEL_ENTRY_TYPES = {"COMPLETE": "complete data backup", "INCREMENTAL": "incremental data backup",
                     "DIFFERENTIAL": "differential data backup"}


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
        recover(conn.sid, statement, tenant=True)
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
    r"(?:\s+TOOLOPTION\s+'((?:[^']|'')*)')?(?:\s+COMMENT\s+'(?:[^']|'')*')?\s*;?$", re.I | re.S)


def backup_data(conn, statement):
    m = _BACKUP_DATA.match(statement.strip())
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "%s": line 1 col 1 (at pos 1)'
                       % statement.strip()[:40])
    level = (m.group(1) or "COMPLETE").upper()
    database = _target_database(conn, m.group(2))
    prefix = m.group(3).replace("''", "'")
    tooloption = m.group(4).replace("''", "'") if m.group(4) is not None else None
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
        if any(e["database"] == database and e["state_name"] == "running"
               and e["entry_type_name"] in LEVEL_ENTRY_TYPES.values() for e in st["backup_catalog"]):
            raise SqlError(448, "backup could not be completed: [3000101] a data backup of %s is already running"
                           % database)
        entry = catalog.new_entry(st, database, LEVEL_ENTRY_TYPES[level], "running", None, None, [])
        backup_id = entry["backup_id"]
        st["backup_progress"] = [p for p in st["backup_progress"] if p.get("database") != database]
        st["backup_progress"].append({
            "backup_id": backup_id, "database": database, "entry_type_name": entry["entry_type_name"],
            "state_name": "running", "utc_start_time": entry["utc_start_time"],
            "sys_start_time": entry["sys_start_time"], "backup_size": 0, "transferred_size": 0,
            "host": st["host"], "service_name": "indexserver"})
    _backup_log(state, database, "SAVE DATA started [%d]" % backup_id)

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
            jobs.append(PipeJob(path, chunks=generated(seed, size)))
            files.append({"source_id": volume, "source_type_name": "volume", "service_type_name": service,
                          "destination_type_name": "backint", "destination_path": path, "backup_size": size,
                          "sim_seed": seed, "host": state["host"]})
    total = sum(f["backup_size"] for f in files)
    with common.state_update(sid) as st:
        for p in st["backup_progress"]:
            if p["backup_id"] == backup_id:
                p["backup_size"] = total

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
                   and e["database"] == database and e["state_name"] == "running"]
        if not running:
            raise SqlError(448, "backup could not be canceled: [3000106] no running backup with id %d" % backup_id)
        st.setdefault("cancel_requests", []).append(backup_id)


# ---------------------------------------------------------------- log and catalog backups


def _catalog_text(state, database):
    entries = [e for e in state["backup_catalog"] if e["database"] == database]
    return json.dumps({"sid": state["sid"], "database": database, "entries": entries},
                      sort_keys=True).encode()


def _single_object_backup(sid, database, entry_type, path_of, content_of, source_type):
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
                         backup_id, lines, [job])
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


def catalog_backup(sid, database):
    """HANA's backup of its backup catalog through backint; returns its id."""
    def path_of(state, backup_id):
        return "%s/%s.%d" % (pipe_dir(state, database), CATALOG_NAME, backup_id)

    def content_of(st, backup_id):
        return _catalog_text(st, database), None, 0, {"volume": 0}

    return _single_object_backup(sid, database, "log backup", path_of, content_of, "catalog")


def log_backup(sid, database=None, catalog=True):
    """What HANA does when a log segment is full: one log backup per service
    volume of the database through backint (when [backup]
    log_backup_using_backint is true), then a catalog backup (when
    catalog_backup_using_backint is true). Returns the backup ids."""
    state = common.load_state(sid)
    if database is None:
        database = "SYSTEMDB" if state["multi_container"] else sid
    if database not in state["databases"]:
        raise SimError("database %s does not exist" % database)
    if not ini_true(sid, database, "log_backup_using_backint"):
        raise SimError("log backups of %s do not go to backint ([backup] log_backup_using_backint)" % database)
    ids = []
    for volume, service in volumes(state, database):
        if volume == 0:
            continue

        def content_of(st, backup_id, volume=volume, service=service):
            db = st["databases"][database]
            positions = db.setdefault("log_positions", {})
            first = int(positions.get(str(volume), 0))
            last = first + 1024
            positions[str(volume)] = last + 1
            db["pending_log"] = {"first": first, "last": last}
            seed = "%s/%s/%d/log%d" % (st["sid"], database, backup_id, volume)
            return None, seed, 8192 + volume, {"volume": volume, "service": service, "first": first,
                                              "last": last}

        def path_of(st, backup_id, volume=volume):
            p = st["databases"][database]["pending_log"]
            return "%s/log_backup_%d_0_%d_%d.%d" % (pipe_dir(st, database), volume, p["first"], p["last"],
                                                     backup_id)

        ids.append(_single_object_backup(sid, database, "log backup", path_of, content_of, "volume"))
    if catalog and ini_true(sid, database, "catalog_backup_using_backint"):
        ids.append(catalog_backup(sid, database))
    return ids


# ---------------------------------------------------------------- recovery


_RECOVER = re.compile(r"^RECOVER\s+(DATA|DATABASE)\s+(?:FOR\s+(\S+)\s+)?(.*?)\s*;?\s*$", re.I | re.S)


def parse_recover(statement):
    m = _RECOVER.match(statement.strip())
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "RECOVER": line 1 col 1 (at pos 1)')
    rest = m.group(3)
    r = {"kind": m.group(1).upper(), "database": m.group(2), "until": None, "source": None,
         "catalog_backint": bool(re.search(r"USING\s+CATALOG\s+BACKINT", rest, re.I)),
         "backup_id": None, "prefix": None,
         "ignore_delta": bool(re.search(r"IGNORE\s+DELTA\s+DATA\s+BACKUPS", rest, re.I))}
    mm = re.search(r"UNTIL\s+TIMESTAMP\s+'([^']*)'", rest, re.I)
    if mm:
        r["until"] = mm.group(1)
    mm = re.search(r"USING\s+SOURCE\s+'([^']*)'", rest, re.I)
    if mm:
        r["source"] = mm.group(1)
    mm = re.search(r"USING\s+BACKUP_ID\s+(\d+)", rest, re.I)
    if mm:
        r["backup_id"] = int(mm.group(1))
    mm = re.search(r"USING\s+BACKINT\s*\(\s*'([^']*)'\s*\)", rest, re.I)
    if mm:
        r["prefix"] = mm.group(1)
    if r["kind"] == "DATABASE" and (r["until"] is None or r["backup_id"] is None):
        raise SqlError(257, "sql syntax error: RECOVER DATABASE needs UNTIL TIMESTAMP and USING BACKUP_ID")
    if r["kind"] == "DATA" and r["backup_id"] is None and r["prefix"] is None:
        raise SqlError(257, "sql syntax error: RECOVER DATA needs USING BACKUP_ID or USING BACKINT")
    if not re.search(r"CLEAR\s+LOG", rest, re.I):
        raise SqlError(448, "recovery could not be completed: [110052] the simulated system only recovers "
                       "with CLEAR LOG")
    return r


def _source(state, r, target):
    """(source sid, source database) of a recovery."""
    if not r["source"]:
        return state["sid"], target
    db, _, sid = r["source"].partition("@")
    return (sid or state["sid"]), db


def _source_dir(state, src_sid, src_db):
    if src_sid == state["sid"]:
        return pipe_dir(state, src_db)
    try:
        other = common.load_state(src_sid)
        return pipe_dir(other, src_db)
    except SimError:
        kind = "SYSTEMDB" if src_db == "SYSTEMDB" else ("DB_" + src_db if state["multi_container"] else src_sid)
        return "%s/%s/SYS/global/hdb/backint/%s" % (common.usr_sap(), src_sid, kind)


def recover(sid, statement, tenant):
    """Runs a RECOVER statement; raises SqlError on failure."""
    r = parse_recover(statement)
    state = common.load_state(sid)
    if tenant:
        target = r["database"]
        key = "SYSTEMDB" if target and target.upper() == "SYSTEMDB" else target
        if key not in state["databases"] or key == "SYSTEMDB":
            raise SqlError(2, "general error: database %s does not exist" % target)
        target = key
        if state["databases"][target].get("active", True):
            raise SqlError(448, "recovery could not be completed: [3000064] database %s must be stopped "
                           "before it can be recovered" % target)
    else:
        target = "SYSTEMDB" if state["multi_container"] else sid
    src_sid, src_db = _source(state, r, target)
    src_dir = _source_dir(state, src_sid, src_db)
    dst_dir = pipe_dir(state, target)
    _backup_log(state, target, "RECOVER DATA started")
    errors = []
    try:
        entries = _recovery_catalog(sid, state, target, src_sid, src_db, src_dir, dst_dir, r)
        data_entry, logs = _pick_backups(entries, r, src_db)
        _restore_files(sid, state, target, data_entry, logs, src_dir, dst_dir, r)
    except SqlError as e:
        errors.append(e.text)
    with common.state_update(sid) as st:
        st.setdefault("recoveries", []).append({
            "database": target, "statement": statement, "source": "%s@%s" % (src_db, src_sid),
            "result": "failed" if errors else "successful", "message": "; ".join(errors),
            "time": common.format_ts(common.utc_now())})
        if not errors:
            if tenant:
                st["databases"][target]["active"] = True
            elif st["multi_container"]:
                for name, db in st["databases"].items():
                    if name != "SYSTEMDB":
                        db["active"] = False
    if errors:
        _backup_log(state, target, "RECOVER DATA finished with error: %s" % errors[0])
        raise SqlError(448, "recovery could not be completed: %s" % "; ".join(errors))
    _backup_log(state, target, "RECOVER DATA finished successfully")
    if tenant:
        system.reconfigure(sid)


def _recovery_catalog(sid, state, target, src_sid, src_db, src_dir, dst_dir, r):
    """The catalog entries the recovery works from: restored through
    backint ("using catalog backint"), else the system's own catalog."""
    if r["prefix"] is not None and not r["catalog_backint"]:
        # HANA names the objects itself from the prefix; no catalog needed.
        return []
    if r["catalog_backint"] or (r["source"] and src_sid != sid):
        name = "%s/%s" % (src_dir, CATALOG_NAME)
        dest = "%s/%s" % (dst_dir, CATALOG_NAME)
        make_pipe(sid, dest)
        job = PipeJob(dest, keep=True)
        lines = [_version_line(state), "#NULL %s %s" % (_quote(name), _quote(dest))]
        result = run_backint(sid, state, target, "restore", None, None, lines, [job])
        try:
            os.unlink(dest)
        except OSError:
            pass
        if result.errors:
            raise SqlError(448, "; ".join(result.errors))
        if result.by_keyword("#NOTFOUND") or not result.by_keyword("#RESTORED"):
            raise SqlError(448, "[111014] no backup catalog of %s@%s found through backint" % (src_db, src_sid))
        if job.error:
            raise SqlError(448, "[111015] %s" % job.error)
        return _restored_catalog_entries(sid, job)
    own = state if src_sid == sid else _maybe_state(src_sid)
    if own is None:
        raise SqlError(448, "[111016] the catalog of %s@%s is not known" % (src_db, src_sid))
    return [e for e in own["backup_catalog"] if e["database"] == src_db]


def _restored_catalog_entries(sid, job):
    try:
        return json.loads(bytes(job.content).decode())["entries"]
    except (ValueError, KeyError, UnicodeDecodeError):
        raise SqlError(448, "[111017] the restored backup catalog is corrupt (%d bytes)" % job.done)


def _maybe_state(sid):
    try:
        return common.load_state(sid)
    except SimError:
        return None


def _pick_backups(entries, r, src_db):
    data_types = set(LEVEL_ENTRY_TYPES.values())
    if r["backup_id"] is not None:
        found = [e for e in entries if e["backup_id"] == r["backup_id"] and e["entry_type_name"] in data_types]
        if not found:
            raise SqlError(448, "[111014] data backup %d of %s not found in the backup catalog"
                           % (r["backup_id"], src_db))
        data = found[0]
        if data["state_name"] != "successful":
            raise SqlError(448, "[111018] data backup %d did not succeed" % data["backup_id"])
    else:
        data = None
    logs = []
    if r["until"] and data is not None:
        until = r["until"]
        for e in entries:
            if e["entry_type_name"] == "log backup" and e["state_name"] == "successful" \
                    and e["backup_id"] > data["backup_id"] and e["utc_start_time"][:19] <= until[:19] \
                    and any(f.get("source_type_name") == "volume" for f in e.get("files", [])):
                logs.append(e)
    return data, logs


def _expected(f):
    if f.get("sim_seed") is None or f.get("source_type_name") == "catalog":
        return None
    return generated(f["sim_seed"], int(f["backup_size"]))


def _inquire(sid, state, target, files):
    """Asks backint whether every backup to be read is still there, as HANA
    does before it starts a recovery."""
    lines = [_version_line(state)] + ["#EBID %s %s" % (_ebid(state, f.get("external_backup_id")),
                                                      _quote(f["destination_path"])) for f in files]
    result = run_backint(sid, state, target, "inquire", None, None, lines, [])
    if result.errors:
        raise SqlError(448, "; ".join(result.errors))
    available = {t[0] for t in result.by_keyword("#BACKUP") if t}
    for f in files:
        if f.get("external_backup_id") not in available:
            raise SqlError(448, "[111014] The backup with the external backup id '%s' (%s) is not available"
                           % (f.get("external_backup_id"), f["destination_path"]))


def _restore_files(sid, state, target, data_entry, logs, src_dir, dst_dir, r):
    lines = [_version_line(state)]
    jobs = []
    wanted = []
    if data_entry is None:
        # By prefix: HANA asks for its own file names.
        prefix = r["prefix"]
        directory = prefix if prefix.startswith("/") else "%s/%s" % (src_dir, prefix)
        known = [e for st in [_maybe_state(s) for s in common.installed_sids()] if st
                 for e in st["backup_catalog"] if e.get("files") and e["state_name"] == "successful" and all(
                     f["destination_path"].startswith(directory + "_databackup_") for f in e["files"])]
        files = known[-1]["files"] if known else [
            {"destination_path": "%s_databackup_%d_%d" % (directory, v, c)} for v, _ in volumes(state, target)
            for c in range(1, _channels(state) + 1)]
        for f in files:
            name = f["destination_path"]
            dest = "%s/%s" % (dst_dir, os.path.basename(name))
            make_pipe(sid, dest)
            jobs.append(PipeJob(dest, expected=_expected(f) if known else None))
            lines.append("#NULL %s %s" % (_quote(name), _quote(dest)) if dest != name else "#NULL %s" % _quote(name))
            wanted.append(name)
    else:
        _inquire(sid, state, target, [f for e in [data_entry] + logs for f in e.get("files", [])])
        for e in [data_entry] + logs:
            for f in e.get("files", []):
                name = f["destination_path"]
                dest = "%s/%s" % (dst_dir, os.path.basename(name))
                make_pipe(sid, dest)
                jobs.append(PipeJob(dest, expected=_expected(f)))
                ebid = _ebid(state, f.get("external_backup_id"))
                lines.append("#EBID %s %s %s" % (ebid, _quote(name), _quote(dest)) if dest != name
                             else "#EBID %s %s" % (ebid, _quote(name)))
                wanted.append(name)
    if not jobs:
        raise SqlError(448, "[111019] nothing to recover")
    result = run_backint(sid, state, target, "restore", None, None, lines, jobs)
    for j in jobs:
        try:
            os.unlink(j.path)
        except OSError:
            pass
    if result.errors:
        raise SqlError(448, "; ".join(result.errors))
    restored = {t[1] for t in result.by_keyword("#RESTORED") if len(t) >= 2}
    for name, job in zip(wanted, jobs):
        if name not in restored:
            raise SqlError(448, "[111014] backint did not restore %s" % name)
        if job.error:
            raise SqlError(448, "[111015] %s" % job.error)


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
    try:
        recover(sid, statement, tenant=False)
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
