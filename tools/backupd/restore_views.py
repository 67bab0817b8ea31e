"""The "hana" catalog views a restore reads, over the sets that jobs
committed (see sets.py for the view mechanism and the answer form of a set):

- "set": one set by "uuid"; with a non-empty "pool_uuid" only when one of
  its storages is in that pool. 404 when there is none.
- "rselect" with "type" "fullbackup": {"rows": [the newest full set of the
  resource, database and lifeline whose "first_time" is at or before
  "time"]}; an empty "lifeline" matches any lifeline.
- "rselect" with "type" "catalog": {"rows": [the HANA catalog backup that
  covers "time"]}: the earliest catalog set at or after "time" (and at or
  after the first log backup that reaches "time", so that the catalog
  knows that log), whose "database_backup_id" is at least the given one.
- "sets_size": the source and storage sizes of the sets of a lifeline whose
  backup IDs lie from "start_backup_id" to "end_backup_id": the full set at
  the start, then deltas (unless "ignore_delta"), logs and catalogs.

"rows" is empty when nothing qualifies. Times are "YYYY-MM-DD HH:MM:SS" UTC,
compared as text. Only the asking host's sets are seen, as in every read of
sets.py.
"""

import re

from http_error import Http_Error
from sets import view

TIME_RE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
# A differential job commits its sets under its subtype's name, "cumulative".
DELTA_TYPES = ("incremental", "differential", "cumulative")


def _text(params, key, required=True):
    v = params.get(key, "")
    if not isinstance(v, str):
        raise Http_Error(400, 'parameter "%s" is not a string' % key)
    if required and not v:
        raise Http_Error(400, 'parameter "%s" is required' % key)
    return v


def _time(params):
    v = _text(params, "time")
    if not TIME_RE.match(v):
        raise Http_Error(400, 'parameter "time" is not of the form YYYY-MM-DD HH:MM:SS')
    return v


def _number(params, key, required=True):
    v = params.get(key)
    if v is None and not required:
        return 0
    if not isinstance(v, int) or isinstance(v, bool) or v < 0:
        raise Http_Error(400, 'parameter "%s" is not an unsigned integer' % key)
    return v


def _in_pool(record, pool_uuid):
    return not pool_uuid or any(s.get("pool_uuid") == pool_uuid for s in record.get("storages", []))


def _chain(store, owner, params):
    """The sets of the resource, database, lifeline and pool of `params`,
    in commit order."""
    filters = {"resource_uuid": _text(params, "resource_uuid"), "database": _text(params, "database")}
    lifeline = _text(params, "lifeline", required=False)
    if lifeline:
        filters["lifeline"] = lifeline
    pool_uuid = _text(params, "pool_uuid", required=False)
    return [r for r in store.select(owner, filters, "hana") if _in_pool(r, pool_uuid)]


@view("hana", "set")
def set_by_uuid(store, owner, params):
    uuid = _text(params, "uuid")
    pool_uuid = _text(params, "pool_uuid", required=False)
    for r in store.select(owner, {"uuid": uuid}, "hana"):
        if _in_pool(r, pool_uuid):
            return 200, r
    raise Http_Error(404, "no backup set %s" % uuid)


def _full_backup(rows, time):
    fulls = [(r["first_time"], r.get("database_backup_id", 0), i, r)
             for i, r in enumerate(rows) if r.get("type") == "full" and r["first_time"] <= time]
    return [max(fulls, key=lambda t: t[:3])[3]] if fulls else []


def _catalog(rows, time, backup_id):
    reaching = [r["last_time"] for r in rows if r.get("type") == "log" and r["last_time"] >= time]
    since = max([time] + ([min(reaching)] if reaching else []))
    catalogs = [(r["last_time"], r.get("database_backup_id", 0), i, r) for i, r in enumerate(rows)
                if r.get("type") == "catalog" and r["last_time"] >= since
                and r.get("database_backup_id", 0) >= backup_id]
    return [min(catalogs, key=lambda t: t[:3])[3]] if catalogs else []


@view("hana", "rselect")
def rselect(store, owner, params):
    kind = _text(params, "type")
    if kind == "fullbackup":
        rows = _full_backup(_chain(store, owner, params), _time(params))
    elif kind == "catalog":
        _number(params, "volume_id", required=False)
        rows = _catalog(_chain(store, owner, params), _time(params), _number(params, "database_backup_id"))
    else:
        raise Http_Error(400, 'parameter "type" must be "fullbackup" or "catalog"')
    return 200, {"rows": rows, "total": len(rows)}


@view("hana", "sets_size")
def sets_size(store, owner, params):
    lifeline = _text(params, "lifeline")
    ignore_delta = params.get("ignore_delta", False)
    if not isinstance(ignore_delta, bool):
        raise Http_Error(400, 'parameter "ignore_delta" is not a boolean')
    start, end = _number(params, "start_backup_id"), _number(params, "end_backup_id")
    source = storage = count = 0
    for r in store.select(owner, {"lifeline": lifeline}, "hana"):
        bid, kind = r.get("database_backup_id", 0), r.get("type")
        if not start <= bid <= end or (kind == "full" and bid != start) or (ignore_delta and kind in DELTA_TYPES):
            continue
        source += r.get("source_size", 0)
        storage += r.get("storage_size", 0)
        count += 1
    return 200, {"total_source_size": source, "total_size": storage, "count": count}
