"""Backup sets of the development backupd: the commit of a finished set, the
set query "/d2/r/v2/sets/restore/sets" and the named views of the catalog
modules ("/d2/r/v2/catalogs/<module>/views/<view>").

Sets are kept per host (the committing host owns its sets, and no other
host sees them). A committed "hana" set also yields one "backupfile" row per
file in the rows that "/d2/r/v2/sets/select" serves, so that hana-backint
finds the objects of a committed set by EBID or name once the backint
catalog has forgotten their job.

Views are plain functions registered with @view(module, name); each takes
(sets, owner, params) and answers (status, JSON value). The restore's views
plug in the same way.
"""

import calendar
import json
import time

from http_error import Http_Error

COMMIT_PATH = "/d2/r/v2/sets"
QUERY_PATH = "/d2/r/v2/sets/restore/sets"
VIEWS_PREFIX = "/d2/r/v2/catalogs/"
ZERO_UUIDS = ("", "0" * 32, "00000000-0000-0000-0000-000000000000")

SCHEMA = """
CREATE TABLE IF NOT EXISTS backup_sets (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  uuid TEXT NOT NULL UNIQUE, module TEXT NOT NULL, record TEXT NOT NULL);
"""

SET_STRINGS = ("uuid", "module", "name", "definition_id", "job_act_id", "definition_uid", "host_id",
               "resource_uuid", "minor_resource_id", "sub_resource", "agent", "incarnation", "lifeline", "type",
               "start_time", "end_time", "creation_time", "completion_time")
SET_UNSIGNED = ("source_size", "storage_size")
SET_SIGNED = ("expiry_time", "retention_count")
HANA_STRINGS = ("sid", "system_version", "instance_name", "database")
HANA_UNSIGNED = ("instance_number", "database_backup_id")
FILE_STRINGS = ("extern_backup_id", "origin_path", "filename", "source_type", "storage_path")
TIMES = ("start_time", "end_time", "creation_time", "completion_time")

VIEWS = {}


def view(module, name):
    """Registers a view function under (module, name)."""
    def register(fn):
        VIEWS[(module, name)] = fn
        return fn
    return register


def _is_unsigned(v):
    return isinstance(v, int) and not isinstance(v, bool) and 0 <= v < 1 << 63


def _is_signed(v):
    return isinstance(v, int) and not isinstance(v, bool) and -(1 << 63) <= v < 1 << 63


def _check(obj, where, strings=(), unsigned=(), signed=()):
    for k in strings:
        if k in obj and not isinstance(obj[k], str):
            raise Http_Error(400, '%smember "%s" is not a string' % (where, k))
    for k in unsigned:
        if k in obj and not _is_unsigned(obj[k]):
            raise Http_Error(400, '%smember "%s" is not an unsigned integer (63 bits)' % (where, k))
    for k in signed:
        if k in obj and not _is_signed(obj[k]):
            raise Http_Error(400, '%smember "%s" is not an integer' % (where, k))


def _seconds(text):
    """Seconds since the epoch of an ISO 8601 UTC text; None when it is none."""
    if not text:
        return None
    for fmt in ("%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S.000Z", "%Y-%m-%dT%H:%M:%S"):
        try:
            return calendar.timegm(time.strptime(text, fmt))
        except ValueError:
            pass
    return None


def validate(body):
    """The committed form of a set (see agent/backupset/backup_set.h)."""
    if not isinstance(body, dict):
        raise Http_Error(400, "the body must be a JSON object")
    if not isinstance(body.get("uuid"), str) or not body["uuid"]:
        raise Http_Error(400, 'member "uuid" is required')
    _check(body, "", SET_STRINGS, SET_UNSIGNED, SET_SIGNED)
    for k in TIMES:
        if body.get(k) and _seconds(body[k]) is None:
            raise Http_Error(400, 'member "%s" is not an ISO 8601 UTC time' % k)
    for k, need in (("pieces", ("path",)), ("storages", ("pool_uuid",))):
        items = body.get(k, [])
        if not isinstance(items, list) or not all(isinstance(i, dict) for i in items):
            raise Http_Error(400, 'member "%s" is not an array of objects' % k)
        for i in items:
            for n in need:
                if not isinstance(i.get(n), str):
                    raise Http_Error(400, '%s: member "%s" is required' % (k, n))
            _check(i, k + ": ", unsigned=("size", "storage_size"))
    if body.get("module") == "hana":
        _check(body, "", HANA_STRINGS, HANA_UNSIGNED)
        for k in ("resource_uuid", "database", "type"):
            if not body.get(k):
                raise Http_Error(400, 'member "%s" is required for a hana set' % k)
        files = body.get("files", [])
        if not isinstance(files, list) or not all(isinstance(f, dict) for f in files):
            raise Http_Error(400, 'member "files" is not an array of objects')
        for f in files:
            if not f.get("extern_backup_id") or not isinstance(f.get("storage_path"), str):
                raise Http_Error(400, 'files: members "extern_backup_id" and "storage_path" are required')
            _check(f, "files: ", FILE_STRINGS, ("size",))


def hana_time(text):
    """'YYYY-MM-DD HH:MM:SS' (UTC), the form HANA takes after UNTIL TIMESTAMP."""
    s = _seconds(text)
    return "" if s is None else time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(s))


def answer_form(record):
    """A set as the server answers it: the committed members, the pool of its
    first storage as "pool_uuid", a "state" list per storage (["available"]:
    the storage holds the set's data), and the times also as HANA text
    ("first_time", "last_time")."""
    out = dict(record)
    storages = [dict(s, state=["available"]) for s in record.get("storages", [])]
    out["storages"] = storages
    out["pool_uuid"] = storages[0]["pool_uuid"] if storages else ""
    out["first_time"] = hana_time(record.get("start_time"))
    out["last_time"] = hana_time(record.get("end_time"))
    return out


def _matches(have, want):
    if have is None:
        return False
    if isinstance(have, bool):
        return str(have).lower() == str(want).lower()
    return str(have) == str(want)


def _sort_key(key):
    def k(r):
        v = r.get(key)
        return (v is None, v if isinstance(v, (int, float)) and not isinstance(v, bool) else str(v))
    return k


class Sets:
    def __init__(self, store):
        self.store = store
        with store.lock:
            store.db.executescript(SCHEMA)

    # --- routing (called by server.Handler) ------------------------------------
    def route(self, owner, method, path, params, body):
        """(status, answer) for the paths of this module; None for others."""
        if path == COMMIT_PATH:
            if method != "POST":
                raise Http_Error(405, "method not allowed")
            return self.commit(owner, params, body)
        if path == QUERY_PATH:
            if method != "GET":
                raise Http_Error(405, "method not allowed")
            return self.query(owner, params)
        if path.startswith(VIEWS_PREFIX):
            parts = path[len(VIEWS_PREFIX):].split("/")
            if len(parts) != 3 or parts[1] != "views" or not parts[0] or not parts[2]:
                raise Http_Error(404, "no such path")
            if method != "POST":
                raise Http_Error(405, "method not allowed")
            if body is None:
                body = {}
            if not isinstance(body, dict):
                raise Http_Error(400, "the view parameters must be a JSON object")
            fn = VIEWS.get((parts[0], parts[2]))
            if fn is None:
                raise Http_Error(404, "no view %s of catalog %s" % (parts[2], parts[0]))
            return fn(self, owner, body)
        return None

    def admin(self, method, path, params):
        if path == "/admin/backup_sets" and method == "GET":
            owner = params.get("host_uuid")
            return 200, {"rows": [dict(r, owner=o) for o, r in self.records(owner)]}
        return None

    # --- store ------------------------------------------------------------------
    def records(self, owner=None, module=None):
        """[(owner, committed record)] in commit order."""
        sql, args = "SELECT owner, record FROM backup_sets WHERE 1=1", []
        if owner is not None:
            sql += " AND owner = ?"
            args.append(owner)
        if module is not None:
            sql += " AND module = ?"
            args.append(module)
        return [(r["owner"], json.loads(r["record"])) for r in self.store.q(sql + " ORDER BY id", args)]

    def commit(self, owner, params, body):
        validate(body)
        replace = params.get("replace", "false").lower() in ("1", "true")
        record = dict(body)
        record.setdefault("module", "")
        uuid = record["uuid"]
        st = self.store
        with st.lock:
            row = st.db.execute("SELECT owner, record FROM backup_sets WHERE uuid = ?", (uuid,)).fetchone()
            if row is not None:
                if row["owner"] != owner:
                    raise Http_Error(409, "set %s belongs to another host" % uuid)
                if json.loads(row["record"]) == record:
                    return 200, answer_form(record)
                if not replace:
                    raise Http_Error(409, "set %s is already committed" % uuid)
            st.db.execute("BEGIN")
            try:
                st.db.execute("DELETE FROM backup_sets WHERE uuid = ?", (uuid,))
                st.db.execute("DELETE FROM sets WHERE owner = ? AND json_extract(row, '$.set_uuid') = ?",
                              (owner, uuid))
                st.db.execute("INSERT INTO backup_sets (owner, uuid, module, record) VALUES (?, ?, ?, ?)",
                              (owner, uuid, record["module"], json.dumps(record)))
                for r in self._file_rows(record):
                    st.db.execute("INSERT INTO sets (owner, module, view, row) VALUES (?, 'hana', 'backupfile', ?)",
                                  (owner, json.dumps(r)))
                st.db.execute("COMMIT")
            except BaseException:
                st.db.execute("ROLLBACK")
                raise
        return 200, answer_form(record)

    def _file_rows(self, record):
        """The "backupfile" rows of a committed hana set, one per file."""
        if record.get("module") != "hana":
            return []
        storages = record.get("storages", [])
        pool_uuid = storages[0]["pool_uuid"] if storages else ""
        url = ""
        if pool_uuid:
            rows = self.store.db.execute("SELECT record FROM pools WHERE uuid = ?", (pool_uuid,)).fetchall()
            if rows:
                url = json.loads(rows[0]["record"]).get("url", "")
        start = _seconds(record.get("start_time"))
        backup_time = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(start if start is not None else 0))
        out = []
        for f in record.get("files", []):
            out.append({"set_uuid": record["uuid"], "resource_uuid": record.get("resource_uuid", ""),
                        "database": record.get("database", ""),
                        "database_backup_id": record.get("database_backup_id", 0),
                        "extern_backup_id": f["extern_backup_id"], "filename": f.get("filename", ""),
                        "origin_path": f.get("origin_path", ""), "source_type": f.get("source_type", ""),
                        "size": f.get("size", 0), "storage_path": f["storage_path"], "pool_uuid": pool_uuid,
                        "location": url.rstrip("/") + "/" + f["storage_path"].lstrip("/"),
                        "backup_start_time": backup_time})
        return out

    # --- reads --------------------------------------------------------------------
    def select(self, owner, filters, module=None):
        """Committed sets of `owner` (answer form) whose members equal every
        filter; an all-zero or empty "resource_uuid" matches any resource,
        and "pool_uuid" matches a set with a storage in that pool."""
        out = []
        for _, record in self.records(owner, module):
            ok = True
            for k, v in filters.items():
                if k == "resource_uuid" and v in ZERO_UUIDS:
                    continue
                if k == "pool_uuid":
                    if not any(_matches(s.get("pool_uuid"), v) for s in record.get("storages", [])):
                        ok = False
                        break
                    continue
                if not _matches(record.get(k), v):
                    ok = False
                    break
            if ok:
                out.append(answer_form(record))
        return out

    def query(self, owner, params):
        """GET /d2/r/v2/sets/restore/sets: "module" required; "sort" (a
        member), "order" ("asc", "desc"), "limit", "offset"; every other
        parameter must equal the set's member of that name."""
        module = params.get("module", "")
        if not module:
            raise Http_Error(400, "module is required")
        try:
            limit = int(params.get("limit", "-1"))
            offset = int(params.get("offset", "0"))
        except ValueError:
            raise Http_Error(400, "limit and offset must be numbers")
        if params.get("order", "asc") not in ("asc", "desc"):
            raise Http_Error(400, "order must be asc or desc")
        filters = {k: v for k, v in params.items() if k not in ("module", "sort", "order", "limit", "offset")}
        rows = self.select(owner, filters, module)
        if params.get("sort"):
            rows.sort(key=_sort_key(params["sort"]), reverse=params.get("order") == "desc")
        elif params.get("order") == "desc":
            rows.reverse()
        total = len(rows)
        page = rows[offset:] if limit < 0 else rows[offset:offset + limit]
        return 200, {"rows": page, "total": total}


def _param(params, key, required=True):
    v = params.get(key)
    if v is None or v == "":
        if required:
            raise Http_Error(400, 'parameter "%s" is required' % key)
        return None
    if not isinstance(v, str):
        raise Http_Error(400, 'parameter "%s" is not a string' % key)
    return v


@view("hana", "last_backup_set")
def last_backup_set(sets, owner, params):
    """The newest committed set of a database of a resource (highest HANA
    backup ID; the later commit on a tie), of one "type" when given and of
    one pool when "pool_uuid" is given. 404 when there is none."""
    filters = {"resource_uuid": _param(params, "resource_uuid"), "database": _param(params, "database")}
    for k in ("type", "pool_uuid", "lifeline"):
        v = _param(params, k, required=False)
        if v is not None:
            filters[k] = v
    rows = sets.select(owner, filters, "hana")
    if not rows:
        raise Http_Error(404, "no backup set")
    best = max(enumerate(rows), key=lambda p: (p[1].get("database_backup_id", 0), p[0]))[1]
    return 200, best
