"""HANA's own log backups: on request (log_backup) and, while the instance
runs, at the interval of [persistence] log_backup_timeout_s for every online
database whose log mode is normal, whose automatic log backup is on and
whose log backups go to backint (the Scheduler, run by the listener).

A log backup is one backint call per service volume, the content volume's
carrying the rows written since the previous log backup (content.py), then a
backup of the catalog when [backup] catalog_backup_using_backint is true.
"""

import contextlib
import fcntl
import os
import threading
import time

from . import backup
from . import common
from . import content
from . import system
from .common import SimError

DEFAULT_INTERVAL = 900      # HANA's log_backup_timeout_s
TICK = 0.5


def ini_value(sid, state, database, file, section, key, read_ini=system.read_ini):
    """A configuration value as HANA sees it: the default, overridden by the
    SYSTEM layer, overridden by the database's own layer."""
    from .sql import ini_path
    value = state.get("ini_defaults", {}).get(file, {}).get(section, {}).get(key)
    for db in (None, database):
        ini = read_ini(ini_path(sid, file, db))
        value = ini.get(section, {}).get(key, value)
    return value


def _on(value):
    return str(value).strip().lower() in ("true", "yes", "1", "on")


def why_not(sid, state, database, read_ini=system.read_ini):
    """None when the running instance backs up the database's logs by
    itself, else the reason it does not."""
    db = state["databases"].get(database)
    if db is None:
        return "database %s does not exist" % database
    if not db.get("active", True) or db.get("status") or db.get("recovering"):
        return "database %s is not online" % database
    def value(section, key):
        return ini_value(sid, state, database, "global.ini", section, key, read_ini)

    mode = value("persistence", "log_mode")
    if str(mode).strip().lower() != "normal":
        return "log mode is %s" % mode
    if not _on(value("persistence", "enable_auto_log_backup")):
        return "automatic log backup is off"
    if not _on(value("backup", "log_backup_using_backint")):
        return "log backups do not go to backint"
    return None


def interval(sid, state, database, read_ini=system.read_ini):
    """Seconds between automatic log backups; None when they are switched off (0)."""
    value = ini_value(sid, state, database, "global.ini", "persistence", "log_backup_timeout_s", read_ini)
    try:
        seconds = float(value) if value is not None else DEFAULT_INTERVAL
    except ValueError:
        seconds = DEFAULT_INTERVAL
    return seconds if seconds > 0 else None


@contextlib.contextmanager
def _serialised(sid):
    # One log backup of a system at a time, as HANA's log backups of a
    # service follow each other; read-only is enough for flock.
    fd = os.open(common.sim_dir(sid) + "/log_backup.lock", os.O_RDONLY | os.O_CREAT, 0o640)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def log_backup(sid, database=None, catalog=True, cancel_check=None):
    """What HANA does when a log segment is full or its time is up: one log
    backup per service volume of the database through backint (when [backup]
    log_backup_using_backint is true), then a catalog backup (when
    catalog_backup_using_backint is true). Returns the backup ids."""
    state = common.load_state(sid)
    if database is None:
        database = "SYSTEMDB" if state["multi_container"] else sid
    if database not in state["databases"]:
        raise SimError("database %s does not exist" % database)
    if not backup.ini_true(sid, database, "log_backup_using_backint"):
        raise SimError("log backups of %s do not go to backint ([backup] log_backup_using_backint)" % database)
    service_volumes = [(v, s) for v, s in backup.volumes(state, database) if v != 0]
    content_volume = service_volumes[-1][0] if service_volumes else None
    ids = []
    with _serialised(sid):
        for volume, service in service_volumes:
            taken = {}

            def content_of(st, backup_id, volume=volume, service=service, taken=taken):
                db = st["databases"][database]
                positions = db.setdefault("log_positions", {})
                first = int(positions.get(str(volume), 0))
                last = first + 1024
                positions[str(volume)] = last + 1
                db["pending_log"] = {"first": first, "last": last}
                if volume == content_volume:
                    taken["segment"] = content.take_log(st, database)
                    for e in st["backup_catalog"]:
                        if e["backup_id"] == backup_id:
                            e["sim_log"] = taken["segment"]
                seed = "%s/%s/%d/log%d" % (st["sid"], database, backup_id, volume)
                return None, seed, 8192 + volume, {"volume": volume, "service": service, "first": first,
                                                  "last": last}

            def path_of(st, backup_id, volume=volume):
                p = st["databases"][database]["pending_log"]
                return "%s/log_backup_%d_0_%d_%d.%d" % (backup.pipe_dir(st, database), volume, p["first"],
                                                         p["last"], backup_id)

            try:
                ids.append(backup._single_object_backup(sid, database, "log backup", path_of, content_of, "volume",
                                                        cancel_check))
            except SimError:
                if "segment" in taken:
                    with common.state_update(sid) as st:
                        content.give_back(st, database, taken["segment"])
                raise
        if catalog and backup.ini_true(sid, database, "catalog_backup_using_backint"):
            ids.append(backup.catalog_backup(sid, database, cancel_check))
    return ids


class _Changed_Files:
    """Reads a file again only when it changed (found by stat, which opens
    nothing), so that the scheduler neither opens the configuration files
    every tick, where tests count who opens them, nor parses the state
    again and again."""

    def __init__(self):
        self._cache = {}

    def read(self, path, reader, missing):
        try:
            st = os.stat(path)
        except FileNotFoundError:
            self._cache.pop(path, None)
            return missing
        key = (st.st_ino, st.st_mtime_ns, st.st_size)
        hit = self._cache.get(path)
        if hit is None or hit[0] != key:
            hit = (key, reader(path))
            self._cache[path] = hit
        return hit[1]

    def ini(self, path):
        return self.read(path, system.read_ini, {})


class Scheduler:
    """The running instance's automatic log backups (a thread of the
    listener, so they run as <sid>adm and end with the instance): at the end
    of every interval of a database, counted from the instance start, its
    logs are backed up when its log backups are switched on."""

    def __init__(self, sid):
        self.sid = sid
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.files = _Changed_Files()
        self.since = {}

    def start(self):
        """Reads the configuration once before it returns (the listener
        opens its ports after this, so a started instance has read it), then
        runs the thread."""
        self._tick()
        self.thread.start()
        return self

    def stop(self, timeout=8.0):
        """Ends the scheduler; a log backup that runs is canceled (its
        backint ended) and waited for at most `timeout` seconds."""
        self.stopping.set()
        self.thread.join(timeout)

    def _run(self):
        while not self.stopping.wait(TICK):
            self._tick()

    def _tick(self):
        since = self.since
        try:
            state = self.files.read(common.state_path(self.sid), _load_json, None)
            for database in list(state["databases"]):
                seconds = interval(self.sid, state, database, self.files.ini)
                if seconds is None:
                    since.pop(database, None)
                    continue
                if time.monotonic() - since.setdefault(database, time.monotonic()) < seconds:
                    continue
                since[database] = time.monotonic()
                if why_not(self.sid, state, database, self.files.ini) or self.stopping.is_set():
                    continue
                try:
                    log_backup(self.sid, database, cancel_check=self.stopping.is_set)
                except SimError as e:
                    common.log(self.sid, "automatic log backup of %s failed: %s" % (database, e))
        except Exception as e:  # noqa: BLE001 - the listener must outlive a bad state
            common.log(self.sid, "log backup scheduler: %s" % e)


def _load_json(path):
    import json
    with open(path) as f:
        return json.load(f)
