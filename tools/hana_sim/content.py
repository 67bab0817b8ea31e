"""What a simulated database holds: the table SIM_CONTENT, rows of a value
and the time it was written, so that a recovery to one point in time can be
told from one to another.

A database's content lives in its state under "content":

  rows      [{"seq", "written_at", "value"}] in the order they were written
  next_seq  the sequence number the next row gets (never reused)
  log_seq   the last row a log backup has taken; later rows are in the
            online log only

A data backup records the rows it saw ("sim_content" of its catalog entry:
"position", the last row, and "rows"); a log backup of the content volume
records the rows written since the previous one ("sim_log": "first", "last",
"rows"). Both travel with the catalog, so a catalog restored through backint
tells a recovery what the backups hold; the bytes backint hands back are
checked against the backups as before.
"""

import re

from . import common
from .common import SimError
from .programs import SqlError

TABLE = "SIM_CONTENT"
COLUMNS = ["SEQ", "WRITTEN_AT", "VALUE"]

_INSERT = re.compile(r"^INSERT\s+INTO\s+%s(?:\s*\(\s*VALUE\s*\))?\s+VALUES\s*\(\s*'((?:[^']|'')*)'\s*\)\s*;?$" % TABLE,
                     re.I | re.S)


def _table(state, database):
    return state["databases"][database].setdefault("content", {"rows": [], "next_seq": 1, "log_seq": 0})


def rows(state, database):
    return list(state["databases"][database].get("content", {}).get("rows", []))


def write(sid, database, value):
    """Writes a row at the current time into an online database; returns it."""
    with common.state_update(sid) as st:
        db = st["databases"].get(database)
        if db is None:
            raise SimError("database %s does not exist" % database)
        if not db.get("active", True) or db.get("status") or not st.get("running"):
            raise SimError("database %s is not online" % database)
        table = _table(st, database)
        row = {"seq": table["next_seq"], "written_at": common.format_ts(common.utc_now()), "value": value}
        table["next_seq"] += 1
        table["rows"].append(row)
    return row


def insert(conn, statement):
    """INSERT INTO SIM_CONTENT [(VALUE)] VALUES ('<text>') on the connected database."""
    from .sql import Result
    m = _INSERT.match(statement.strip())
    if not m:
        raise SqlError(257, 'sql syntax error: incorrect syntax near "INSERT": line 1 col 1 (at pos 1)')
    write(conn.sid, conn.database, m.group(1).replace("''", "'"))
    return Result("none")


def view(state, database):
    """Columns and rows of SIM_CONTENT for the SELECT engine."""
    from .sql import Timestamp
    return COLUMNS, [{"SEQ": r["seq"], "WRITTEN_AT": Timestamp(r["written_at"]), "VALUE": r["value"]}
                     for r in rows(state, database)]


def snapshot(state, database):
    """What a data backup started now holds (for its catalog entry)."""
    table = _table(state, database)
    return {"position": table["next_seq"] - 1, "rows": list(table["rows"])}


def take_log(state, database):
    """The rows a log backup started now takes: those after the previous log
    backup. Advances the log position; give_back() undoes it when the backup
    fails, so that the next log backup carries the rows again."""
    table = _table(state, database)
    first, last = table["log_seq"] + 1, table["next_seq"] - 1
    table["log_seq"] = last
    return {"first": first, "last": last, "rows": [r for r in table["rows"] if first <= r["seq"] <= last]}


def give_back(state, database, segment):
    table = _table(state, database)
    table["log_seq"] = min(table["log_seq"], segment["first"] - 1)


def replay(base, logs, until):
    """The rows a recovery restores: the data backup's rows, then the rows of
    the log backups written after it, up to `until` (normalised timestamp
    text, None: no log replay). Raises SqlError when the log backups leave a
    gap after the data backup."""
    snap = base.get("sim_content") or {"position": 0, "rows": []}
    out = [r for r in snap["rows"] if r["seq"] <= snap["position"]]
    if until is None:
        return out
    position = snap["position"]
    for entry in logs:
        segment = entry.get("sim_log")
        if segment is None:
            continue
        if segment["first"] > position + 1:
            raise SqlError(448, "[111020] log backup %d starts at log position %d, the recovery needs %d: "
                           "a log backup is missing" % (entry["backup_id"], segment["first"], position + 1))
        for r in segment["rows"]:
            if r["seq"] > position and r["written_at"] <= until:
                out.append(r)
        position = max(position, segment["last"])
    return out


def install(state, database, restored):
    """The database's content after a successful recovery. Sequence numbers
    go on from the highest ever used, and the online log starts empty."""
    table = _table(state, database)
    top = max([table["next_seq"] - 1] + [r["seq"] for r in restored])
    table.update(rows=list(restored), next_seq=top + 1, log_seq=top)
