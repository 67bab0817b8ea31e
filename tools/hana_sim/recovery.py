"""Recoveries through backint, run the way the simulated HANA runs them.

RECOVER DATA restores one data backup; RECOVER DATABASE ... UNTIL TIMESTAMP
restores the data backup (and, unless IGNORE DELTA DATA BACKUPS, the delta
backups that shorten the way), then replays the log backups after it up to
the one that covers the point in time. With USING CATALOG BACKINT, or from
another system, the backup catalog comes first through backint by name
(#NULL), and its content names the backups. Every backup to be read is
inquired before anything is restored; then one backint call per data backup
reads its pipes at once, and one more reads the log backups one after
another, as HANA replays them. Every byte read is checked against the
backup, and the database's content (content.py) becomes that of the point
in time.

As HANA does, a point in time past the end of the log backups is not an
error: the recovery replays what there is and finishes successfully; only
its backup.log line says where it got to ("RECOVER DATA finished
successfully, reached timestamp <UTC>+00:00"), the earlier of the point in
time and the start of the last log backup replayed (of the data backup
when none is), per log volume the earliest.
"""

import datetime
import json
import os
import re
import stat

from . import backup
from . import common
from . import content
from .backup import CATALOG_NAME, PipeJob, make_pipe, run_backint
from .common import SimError
from .programs import SqlError

_DATA = re.compile(
    r"^RECOVER\s+DATA(?:\s+FOR\s+(?P<database>\S+))?(?:\s+USING\s+SOURCE\s+'(?P<source>[^']*)')?\s+"
    r"(?:USING\s+BACKUP_ID\s+(?P<backup_id>\d+)(?P<catalog>\s+USING\s+CATALOG\s+BACKINT)?"
    r"|USING\s+BACKINT\s*\(\s*'(?P<prefix>[^']*)'\s*\))\s+CLEAR\s+LOG\s*;?$", re.I | re.S)
_DATABASE = re.compile(
    r"^RECOVER\s+DATABASE(?:\s+FOR\s+(?P<database>\S+))?\s+UNTIL\s+TIMESTAMP\s+'(?P<until>[^']*)'\s+CLEAR\s+LOG"
    r"(?:\s+USING\s+SOURCE\s+'(?P<source>[^']*)')?(?P<catalog>\s+USING\s+CATALOG\s+BACKINT)?"
    r"\s+USING\s+BACKUP_ID\s+(?P<backup_id>\d+)\s+CHECK\s+ACCESS\s+ALL"
    r"(?P<ignore_delta>\s+IGNORE\s+DELTA\s+DATA\s+BACKUPS)?\s*;?$", re.I | re.S)
_DELTA_BASE = re.compile(r"_databackup_(?:incremental|differential)_(\d+)_\d+_")
DELTA_TYPES = ("incremental data backup", "differential data backup")


def parse_recover(statement):
    """The parts of one of the two statement forms; anything else is an SQL
    error, as is a time that is not YYYY-MM-DD HH:MM:SS[.fraction]."""
    text = statement.strip()
    m = _DATA.match(text) or _DATABASE.match(text)
    if not m:
        if re.match(r"^RECOVER\s+DATA", text, re.I) and not re.search(r"\bCLEAR\s+LOG\b", text, re.I):
            raise SqlError(448, "recovery could not be completed: [110052] the simulated system only recovers "
                           "with CLEAR LOG")
        raise SqlError(257, 'sql syntax error: incorrect syntax near "RECOVER": line 1 col 1 (at pos 1)')
    groups = m.groupdict()
    r = {"kind": "DATABASE" if "until" in groups else "DATA", "database": groups["database"],
         "until": groups.get("until"), "source": groups["source"], "catalog_backint": bool(groups["catalog"]),
         "backup_id": int(groups["backup_id"]) if groups["backup_id"] else None, "prefix": groups.get("prefix"),
         "ignore_delta": bool(groups.get("ignore_delta"))}
    if r["until"] is not None:
        r["until_ts"] = _timestamp(r["until"])
    return r


def _timestamp(text):
    for fmt in ("%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M:%S.%f"):
        try:
            return common.format_ts(datetime.datetime.strptime(text, fmt))
        except ValueError:
            pass
    raise SqlError(303, "invalid DATE, TIME or TIMESTAMP value: '%s'" % text)


def _target(state, r, tenant):
    name = r["database"]
    if not tenant:
        if name is not None and name.upper() != "SYSTEMDB":
            raise SqlError(2, "general error: an instance start recovers only the system database, not %s" % name)
        return "SYSTEMDB" if state["multi_container"] else state["sid"]
    key = "SYSTEMDB" if name and name.upper() == "SYSTEMDB" else name
    if key not in state["databases"] or key == "SYSTEMDB":
        raise SqlError(2, "general error: database %s does not exist" % name)
    if state["databases"][key].get("active", True):
        raise SqlError(448, "recovery could not be completed: [3000064] database %s must be stopped "
                       "before it can be recovered" % key)
    return key


def _source(state, r, target):
    """(source sid, source database). Without "@" the source is a database
    of this system, or on a single-container system the system named."""
    if not r["source"]:
        return state["sid"], target
    db, at, sid = r["source"].partition("@")
    if not at:
        return (state["sid"] if state["multi_container"] else db), db
    return sid, db


def _source_dir(state, src_sid, src_db):
    if src_sid == state["sid"]:
        return backup.pipe_dir(state, src_db)
    other = _maybe_state(src_sid)
    if other is not None:
        return backup.pipe_dir(other, src_db)
    kind = "SYSTEMDB" if src_db == "SYSTEMDB" else ("DB_" + src_db if state["multi_container"] else src_sid)
    return "%s/%s/SYS/global/hdb/backint/%s" % (common.usr_sap(), src_sid, kind)


def _check_source_dir(state, directory):
    """A recovery from another system names that system's backups by their
    paths below its pipe directory: the directory must exist on this host
    and be writable for this system's <sid>adm."""
    user = common.adm_user(state["sid"])
    try:
        st = os.stat(directory)
    except OSError:
        st = None
    if st is None or not stat.S_ISDIR(st.st_mode):
        raise SqlError(448, "[110091] Invalid path selected for backint: the source's pipe directory %s "
                       "does not exist" % directory)
    uid, gid, groups = common.user_ids(user)
    if st.st_uid == uid:
        bits = stat.S_IWUSR | stat.S_IXUSR
    elif st.st_gid == gid or st.st_gid in groups:
        bits = stat.S_IWGRP | stat.S_IXGRP
    else:
        bits = stat.S_IWOTH | stat.S_IXOTH
    if st.st_mode & bits != bits:
        raise SqlError(448, "[110091] Invalid path selected for backint: the source's pipe directory %s "
                       "is not writable for %s" % (directory, user))


def _maybe_state(sid):
    try:
        return common.load_state(sid)
    except SimError:
        return None


def _mark_recovering(sid, database, on):
    # Keeps the automatic log backups off the database while it is recovered.
    with common.state_update(sid) as st:
        if on:
            st["databases"][database]["recovering"] = True
        else:
            st["databases"][database].pop("recovering", None)


def recover(sid, statement, tenant):
    """Runs a RECOVER statement (tenant: through hdbsql on the system
    database; else at the instance start); raises SqlError on failure."""
    r = parse_recover(statement)
    state = common.load_state(sid)
    target = _target(state, r, tenant)
    src_sid, src_db = _source(state, r, target)
    backup._backup_log(state, target, "RECOVER DATA started")
    _mark_recovering(sid, target, True)
    errors = []
    restored, reached = [], None
    try:
        restored, reached = _recover(sid, state, target, src_sid, src_db, r)
    except SqlError as e:
        errors.append(e.text)
    except BaseException:
        _mark_recovering(sid, target, False)
        raise
    with common.state_update(sid) as st:
        st.setdefault("recoveries", []).append({
            "database": target, "statement": statement, "source": "%s@%s" % (src_db, src_sid),
            "result": "failed" if errors else "successful", "message": "; ".join(errors),
            "reached": reached, "time": common.format_ts(common.utc_now())})
        st["databases"][target].pop("recovering", None)
        if not errors:
            content.install(st, target, restored)
            if tenant:
                st["databases"][target]["active"] = True
            elif st["multi_container"]:
                for name, db in st["databases"].items():
                    if name != "SYSTEMDB":
                        db["active"] = False
    if errors:
        backup._backup_log(state, target, "RECOVER DATA finished with error: %s" % errors[0])
        raise SqlError(448, "recovery could not be completed: %s" % "; ".join(errors))
    backup._backup_log(state, target, "RECOVER DATA finished successfully" + (
        ", reached timestamp %s+00:00" % reached.replace(" ", "T") if reached else ""), "RECOVERY")
    if tenant:
        from . import system
        system.reconfigure(sid)


def _recover(sid, state, target, src_sid, src_db, r):
    """Restores and checks what the statement asks for; returns the rows
    the database holds afterwards and the point in time reached ("YYYY-MM-DD
    HH:MM:SS"; None without UNTIL TIMESTAMP)."""
    src_dir = _source_dir(state, src_sid, src_db)
    dst_dir = backup.pipe_dir(state, target)
    if src_sid != sid:
        _check_source_dir(state, src_dir)
    if r["prefix"] is not None:
        # HANA names the objects itself from the prefix; no catalog needed.
        return _recover_by_prefix(sid, state, target, src_dir, dst_dir, r["prefix"]), None
    entries = _recovery_catalog(sid, state, target, src_sid, src_db, src_dir, dst_dir, r)
    chain, logs = _pick_backups(entries, r, src_db)
    _inquire(sid, state, target, [f for e in chain + logs for f in e.get("files", [])])
    for entry in chain:
        _restore(sid, state, target, entry.get("files", []), dst_dir)
    if logs:
        # The log backups are replayed in order, one pipe after another.
        order = state["backint"].get("restore_order") or "input"
        ordered = dict(state, backint=dict(state["backint"], restore_order=order))
        _restore(sid, ordered, target, [f for e in logs for f in e.get("files", [])], dst_dir)
    return content.replay(chain[-1], logs, r.get("until_ts")), _reached(chain, logs, r.get("until_ts"))


def _reached(chain, logs, until):
    if until is None:
        return None
    last = {}
    for e in logs:
        volume = next((f.get("source_id") for f in e.get("files", []) if f.get("source_type_name") == "volume"), None)
        last[volume] = max(last.get(volume, ""), e["utc_start_time"][:19])
    return min([until[:19]] + (list(last.values()) or [chain[-1]["utc_start_time"][:19]]))


def _recovery_catalog(sid, state, target, src_sid, src_db, src_dir, dst_dir, r):
    """The catalog entries the recovery works from: restored through
    backint ("using catalog backint"), else the system's own catalog."""
    if r["catalog_backint"] or (r["source"] and src_sid != sid):
        name = "%s/%s" % (src_dir, CATALOG_NAME)
        dest = "%s/%s" % (dst_dir, CATALOG_NAME)
        make_pipe(sid, dest)
        job = PipeJob(dest, keep=True)
        lines = [backup._version_line(state), "#NULL %s %s" % (backup._quote(name), backup._quote(dest))]
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
        try:
            return json.loads(bytes(job.content).decode())["entries"]
        except (ValueError, KeyError, UnicodeDecodeError):
            raise SqlError(448, "[111017] the restored backup catalog is corrupt (%d bytes)" % job.done)
    own = state if src_sid == sid else _maybe_state(src_sid)
    if own is None:
        raise SqlError(448, "[111016] the catalog of %s@%s is not known" % (src_db, src_sid))
    return [e for e in own["backup_catalog"] if e["database"] == src_db]


def _delta_base(entry):
    for f in entry.get("files", []):
        m = _DELTA_BASE.search(f.get("destination_path", ""))
        if m:
            return int(m.group(1))
    return None


def _pick_backups(entries, r, src_db):
    """([data backups in restore order], [log backups to replay])."""
    entries = sorted(entries, key=lambda e: e["backup_id"])
    data_types = set(backup.LEVEL_ENTRY_TYPES.values())
    found = [e for e in entries if e["backup_id"] == r["backup_id"] and e["entry_type_name"] in data_types]
    if not found:
        raise SqlError(448, "[111014] data backup %d of %s not found in the backup catalog" % (r["backup_id"], src_db))
    full = found[0]
    if full["state_name"] != "successful":
        raise SqlError(448, "[111018] data backup %d did not succeed" % full["backup_id"])
    until = r.get("until_ts")
    if until is None:
        return [full], []
    if until[:19] < full["utc_start_time"][:19]:
        raise SqlError(448, "[111021] data backup %d was started after %s: no recovery strategy for that time"
                       % (full["backup_id"], r["until"]))
    chain = [full]
    for e in entries:
        if r["ignore_delta"] or e["backup_id"] <= full["backup_id"] or e["entry_type_name"] not in DELTA_TYPES \
                or e["state_name"] != "successful" or e["utc_start_time"] > until:
            continue
        base = _delta_base(e)
        if e["entry_type_name"] == "differential data backup" and base == full["backup_id"]:
            chain = [full, e]
        elif e["entry_type_name"] == "incremental data backup" and base == chain[-1]["backup_id"]:
            chain.append(e)
    # Per log volume: every log backup after the last data backup up to the
    # first that began at or after the point in time (it holds the redo log
    # up to its start).
    per_volume = {}
    for e in entries:
        if e["entry_type_name"] != "log backup" or e["state_name"] != "successful" \
                or e["backup_id"] <= chain[-1]["backup_id"]:
            continue
        volume_files = [f for f in e.get("files", []) if f.get("source_type_name") == "volume"]
        if volume_files:
            per_volume.setdefault(volume_files[0].get("source_id"), []).append(e)
    logs = []
    for volume_logs in per_volume.values():
        for e in volume_logs:
            logs.append(e)
            if e["utc_start_time"] >= until:
                break
    return chain, sorted(logs, key=lambda e: e["backup_id"])


def _inquire(sid, state, target, files):
    """Asks backint whether every backup to be read is still there, as HANA
    does before it starts a recovery."""
    lines = [backup._version_line(state)] + ["#EBID %s %s" % (backup._ebid(state, f.get("external_backup_id")),
                                                             backup._quote(f["destination_path"])) for f in files]
    result = run_backint(sid, state, target, "inquire", None, None, lines, [])
    if result.errors:
        raise SqlError(448, "; ".join(result.errors))
    available = {t[0] for t in result.by_keyword("#BACKUP") if t}
    for f in files:
        if f.get("external_backup_id") not in available:
            raise SqlError(448, "[111014] The backup with the external backup id '%s' (%s) is not available"
                           % (f.get("external_backup_id"), f["destination_path"]))


def _expected(f):
    if f.get("sim_seed") is None or f.get("source_type_name") == "catalog":
        return None
    return backup.generated(f["sim_seed"], int(f["backup_size"]))


def _restore(sid, state, target, files, dst_dir, by_name=False):
    """One backint restore call for `files` (catalog file records), by EBID
    or by name; every pipe's bytes are checked against the backup."""
    lines = [backup._version_line(state)]
    jobs = []
    for f in files:
        name = f["destination_path"]
        dest = "%s/%s" % (dst_dir, os.path.basename(name))
        make_pipe(sid, dest)
        jobs.append(PipeJob(dest, expected=_expected(f)))
        names = backup._quote(name) if dest == name else "%s %s" % (backup._quote(name), backup._quote(dest))
        if by_name:
            lines.append("#NULL %s" % names)
        else:
            lines.append("#EBID %s %s" % (backup._ebid(state, f.get("external_backup_id")), names))
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
    for f, job in zip(files, jobs):
        if f["destination_path"] not in restored:
            raise SqlError(448, "[111014] backint did not restore %s" % f["destination_path"])
        if job.error:
            raise SqlError(448, "[111015] %s" % job.error)


def _recover_by_prefix(sid, state, target, src_dir, dst_dir, prefix):
    """RECOVER DATA USING BACKINT('<prefix>'): HANA asks for its own file
    names. A backup the simulated systems know is checked byte for byte and
    gives the content; an unknown one restores names only."""
    directory = prefix if prefix.startswith("/") else "%s/%s" % (src_dir, prefix)
    known = [e for st in [_maybe_state(s) for s in common.installed_sids()] if st
             for e in st["backup_catalog"] if e.get("files") and e["state_name"] == "successful" and all(
                 f["destination_path"].startswith(directory + "_databackup_") for f in e["files"])]
    if known:
        files = known[-1]["files"]
    else:
        files = [{"destination_path": "%s_databackup_%d_%d" % (directory, v, c)}
                 for v, _ in backup.volumes(state, target) for c in range(1, backup._channels(state) + 1)]
    _restore(sid, state, target, files, dst_dir, by_name=True)
    return content.replay(known[-1], [], None) if known else []
