"""The simulated backup catalog: M_BACKUP_CATALOG, M_BACKUP_CATALOG_FILES
and M_BACKUP_PROGRESS over the state's "backup_catalog" and
"backup_progress" lists."""

from . import common

CATALOG_COLUMNS = ["ENTRY_ID", "ENTRY_TYPE_NAME", "BACKUP_ID", "SYS_START_TIME", "UTC_START_TIME",
                   "SYS_END_TIME", "UTC_END_TIME", "STATE_NAME", "COMMENT", "MESSAGE", "SYSTEM_ID",
                   "DATABASE_NAME"]
FILES_COLUMNS = ["BACKUP_ID", "ENTRY_ID", "SOURCE_ID", "SOURCE_TYPE_NAME", "HOST", "SERVICE_TYPE_NAME",
                 "REDO_LOG_POSITION", "DESTINATION_TYPE_NAME", "DESTINATION_PATH", "BACKUP_SIZE",
                 "EXTERNAL_BACKUP_ID", "DATABASE_NAME"]
PROGRESS_COLUMNS = ["BACKUP_ID", "ENTRY_TYPE_NAME", "STATE_NAME", "SYS_START_TIME", "UTC_START_TIME",
                    "BACKUP_SIZE", "TRANSFERRED_SIZE", "HOST", "SERVICE_NAME", "DATABASE_NAME"]
TIME_COLUMNS = {"SYS_START_TIME", "UTC_START_TIME", "SYS_END_TIME", "UTC_END_TIME"}


def _typed(column, value):
    from .sql import Timestamp
    if value is not None and column in TIME_COLUMNS:
        return Timestamp(value)
    return value


def _row(columns, record, extra):
    row = {}
    for c in columns:
        v = extra.get(c, record.get(c.lower()))
        row[c] = _typed(c, v)
    return row


def view(state, name, database):
    """Columns and rows of one view; database None: all databases."""
    rows = []
    if name == "M_BACKUP_PROGRESS":
        for p in state.get("backup_progress", []):
            if database is None or p.get("database") == database:
                rows.append(_row(PROGRESS_COLUMNS, p, {"DATABASE_NAME": p.get("database")}))
        return PROGRESS_COLUMNS, rows
    for entry in state.get("backup_catalog", []):
        if database is not None and entry.get("database") != database:
            continue
        if name == "M_BACKUP_CATALOG":
            rows.append(_row(CATALOG_COLUMNS, entry, {"DATABASE_NAME": entry.get("database")}))
        else:
            for f in entry.get("files", []):
                rows.append(_row(FILES_COLUMNS, f, {"BACKUP_ID": entry["backup_id"],
                                                    "ENTRY_ID": entry["entry_id"],
                                                    "DATABASE_NAME": entry.get("database")}))
    return (CATALOG_COLUMNS if name == "M_BACKUP_CATALOG" else FILES_COLUMNS), rows


def new_entry(state, database, entry_type, state_name, start, end, files, destination="backint"):
    """Appends a catalog entry to a state and returns it."""
    backup_id = state["next_backup_id"]
    state["next_backup_id"] = backup_id + 1
    start = start or common.utc_now()
    entry = {
        "entry_id": len(state["backup_catalog"]) + 1,
        "backup_id": backup_id,
        "database": database,
        "entry_type_name": entry_type,
        "state_name": state_name,
        "utc_start_time": common.format_ts(start),
        "sys_start_time": common.format_ts(start),
        "utc_end_time": common.format_ts(end) if end else None,
        "sys_end_time": common.format_ts(end) if end else None,
        "comment": "",
        "message": "<ok>" if state_name == "successful" else "",
        "system_id": None,
        "files": [],
    }
    for i, f in enumerate(files or []):
        record = {"source_id": i + 1, "source_type_name": "volume", "host": state["host"],
                  "service_type_name": "indexserver", "redo_log_position": None,
                  "destination_type_name": destination, "destination_path": "",
                  "backup_size": 0, "external_backup_id": None}
        record.update(f)
        entry["files"].append(record)
    state["backup_catalog"].append(entry)
    return entry


def add_entry(sid, database, entry_type, state_name, start, end, files, destination):
    start = start or common.utc_now()
    if end is None and state_name != "running":
        end = start
    with common.state_update(sid) as state:
        return new_entry(state, database, entry_type, state_name, start, end, files,
                         destination)["backup_id"]
