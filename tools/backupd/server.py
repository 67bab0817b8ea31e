"""A development stand-in for backupd: the HTTP(S) JSON interface the agent's
HANA integration talks to, kept in SQLite, bound to the loopback interface.

Every request outside /admin/ must carry a known "X-Access-Key"; the key
names the host, and every record is stored and answered per host. /admin/
endpoints (no key) set the server up, list the requests received and
inject faults. See README.md for the interface.
"""

import http.client
import json
import os
import signal
import socket
import sqlite3
import ssl
import sys
import threading
import time
import uuid as uuidlib

from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

import jobs
import log_runs
import restore_views  # noqa: F401 (registers its views with sets)
import sets
from http_error import Http_Error

JOB_PATH = "/d2/r/hana/backint/job"
ENQUEUE_PATH = "/d2/r/hana/backint/job/enqueue"
FILE_PATH = "/d2/r/hana/backint/file"
SETS_SELECT_PATH = "/d2/r/v2/sets/select"
RESOURCES_PATH = "/d2/r/v2/resources"
POOLS_PREFIX = "/d2/r/v2/pools/"
RPC_PATH = "/jsonrpc"

JOB_STRINGS = ("uuid", "host_uuid", "job_act_id", "type", "location", "database", "compression",
               "sid", "pool_uuid", "landscape_id")
FILE_STRINGS = ("info_uuid", "filename", "origin_path", "extern_backup_id", "source_type", "pool_uuid",
                "storage_path", "backup_time", "location")
FILE_NUMBERS = ("size", "storage_size", "database_backup_id")

SCHEMA = """
CREATE TABLE IF NOT EXISTS hosts (uuid TEXT PRIMARY KEY, access_key TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  uuid TEXT NOT NULL, database_backup_id INTEGER NOT NULL DEFAULT 0,
  host_uuid TEXT, job_act_id TEXT, type TEXT, location TEXT, database TEXT, compression TEXT,
  compression_level INTEGER NOT NULL DEFAULT 1, extended_attrs TEXT NOT NULL DEFAULT '{}',
  sid TEXT, pool_uuid TEXT, landscape_id TEXT,
  UNIQUE (owner, uuid));
CREATE TABLE IF NOT EXISTS files (
  id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL, job_uuid TEXT NOT NULL,
  info_uuid TEXT, filename TEXT, origin_path TEXT, size INTEGER, storage_size INTEGER,
  extern_backup_id TEXT, source_type TEXT, pool_uuid TEXT, storage_path TEXT, backup_time TEXT,
  location TEXT, database_backup_id INTEGER);
CREATE TABLE IF NOT EXISTS enqueues (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL, body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS pools (uuid TEXT PRIMARY KEY, owner TEXT, record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS resources (uuid TEXT PRIMARY KEY, owner TEXT, record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS agents (host_uuid TEXT PRIMARY KEY, address TEXT NOT NULL, endpoint_key TEXT);
CREATE TABLE IF NOT EXISTS job_defs (uuid TEXT PRIMARY KEY, owner TEXT, record TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sets (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT, module TEXT NOT NULL,
  view TEXT NOT NULL, row TEXT NOT NULL);
"""


def now_iso():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def need_object(body):
    if not isinstance(body, dict):
        raise Http_Error(400, "the body must be a JSON object")
    return body


def check_kinds(obj, strings=(), numbers=()):
    for k in strings:
        if k in obj and not isinstance(obj[k], str):
            raise Http_Error(400, 'member "%s" is not a string' % k)
    for k in numbers:
        if k in obj and (not isinstance(obj[k], int) or isinstance(obj[k], bool) or obj[k] < 0):
            raise Http_Error(400, 'member "%s" is not an unsigned integer' % k)
        if k in obj and obj[k] >= 1 << 63:
            raise Http_Error(400, 'member "%s" is out of range (this server keeps 63 bits)' % k)


class Store:
    """The SQLite state; one connection guarded by a lock."""

    def __init__(self, path):
        self.db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.db.row_factory = sqlite3.Row
        self.lock = threading.Lock()
        with self.lock:
            self.db.executescript(SCHEMA)

    def close(self):
        with self.lock:
            self.db.close()

    def q(self, sql, args=()):
        with self.lock:
            return self.db.execute(sql, args).fetchall()

    def x(self, sql, args=()):
        with self.lock:
            cur = self.db.execute(sql, args)
            return cur.lastrowid, cur.rowcount

    # hosts
    def add_host(self, host_uuid, key):
        with self.lock:
            self.db.execute("DELETE FROM hosts WHERE uuid = ? OR access_key = ?", (host_uuid, key))
            self.db.execute("INSERT INTO hosts (uuid, access_key) VALUES (?, ?)", (host_uuid, key))

    def agent_of(self, host_uuid):
        """(address, endpoint key) of the host's registered agent, or (None, None)."""
        rows = self.q("SELECT address, endpoint_key FROM agents WHERE host_uuid = ?", (host_uuid,))
        return (rows[0]["address"], rows[0]["endpoint_key"]) if rows else (None, None)

    def key_of(self, host_uuid):
        rows = self.q("SELECT access_key FROM hosts WHERE uuid = ?", (host_uuid,))
        return rows[0]["access_key"] if rows else None

    def host_of(self, key):
        rows = self.q("SELECT uuid FROM hosts WHERE access_key = ?", (key,))
        return rows[0]["uuid"] if rows else None


def job_object(row):
    out = {"id": row["id"], "database_backup_id": row["database_backup_id"]}
    for k in ("uuid", "host_uuid", "job_act_id", "type", "location", "database", "compression"):
        out[k] = row[k] or ""
    out["compression_level"] = row["compression_level"]
    out["extended_attrs"] = json.loads(row["extended_attrs"] or "{}")
    for k in ("sid", "pool_uuid", "landscape_id"):
        out[k] = row[k] or ""
    return out


def file_object(row, job=None):
    out = {"id": row["id"]}
    for k in ("info_uuid", "filename", "origin_path", "size", "storage_size", "extern_backup_id", "source_type",
              "pool_uuid", "storage_path", "backup_time", "location", "database_backup_id"):
        out[k] = row[k]
    out["job_uuid"] = row["job_uuid"]
    if job is not None:
        out["landscape_id"] = job["landscape_id"] or ""
        out["database"] = job["database"] or ""
    return out


class Catalog:
    """The API behind the access key; every method gets the caller's host."""

    def __init__(self, store):
        self.store = store

    # --- backint jobs -------------------------------------------------
    def _find_job(self, owner, job_uuid):
        rows = self.store.q("SELECT * FROM jobs WHERE owner = ? AND uuid = ?", (owner, job_uuid))
        return rows[0] if rows else None

    def post_job(self, owner, body):
        need_object(body)
        check_kinds(body, JOB_STRINGS, ("database_backup_id",))
        if "compression_level" in body and not isinstance(body["compression_level"], int):
            raise Http_Error(400, 'member "compression_level" is not an integer')
        if "extended_attrs" in body and not isinstance(body["extended_attrs"], dict):
            raise Http_Error(400, 'member "extended_attrs" is not an object')
        check_exist = body.get("check_exist", False)
        if not isinstance(check_exist, bool):
            raise Http_Error(400, 'member "check_exist" is not a boolean')
        job_uuid = body.get("uuid", "")
        if check_exist:
            existing = None
            if body.get("database_backup_id", 0) and body.get("landscape_id"):
                rows = self.store.q(
                    "SELECT * FROM jobs WHERE owner = ? AND landscape_id = ? AND database_backup_id = ? "
                    "AND database = ? ORDER BY id", (owner, body["landscape_id"], body["database_backup_id"],
                                                     body.get("database", "")))
                existing = rows[0] if rows else None
            if existing is None and job_uuid:
                existing = self._find_job(owner, job_uuid)
            if existing is not None:
                return 200, job_object(existing)
            if not job_uuid:
                job_uuid = uuidlib.uuid1().hex
        elif not job_uuid:
            raise Http_Error(400, 'member "uuid" is missing or empty')
        values = {k: body.get(k, "") for k in JOB_STRINGS}
        values["uuid"] = job_uuid
        values["database_backup_id"] = body.get("database_backup_id", 0)
        values["compression_level"] = body.get("compression_level", 1)
        values["extended_attrs"] = json.dumps(body.get("extended_attrs", {}))
        cols = list(values)
        # The same job posted again (a retry after a lost answer) replaces
        # the record instead of failing.
        self.store.x("INSERT INTO jobs (owner, %s) VALUES (?, %s) ON CONFLICT (owner, uuid) DO UPDATE SET %s" %
                     (", ".join(cols), ", ".join("?" * len(cols)),
                      ", ".join("%s = excluded.%s" % (c, c) for c in cols)),
                     [owner] + [values[c] for c in cols])
        return 200, job_object(self._find_job(owner, job_uuid))

    def get_job(self, owner, params):
        allowed = {"job_uuid", "landscape_id", "database_backup_id"}
        unknown = set(params) - allowed
        if unknown:
            raise Http_Error(400, "unknown query parameter %s" % sorted(unknown)[0])
        if "job_uuid" in params:
            row = self._find_job(owner, params["job_uuid"])
        elif "landscape_id" in params and "database_backup_id" in params:
            try:
                dbid = int(params["database_backup_id"])
            except ValueError:
                raise Http_Error(400, "database_backup_id is not a number")
            rows = self.store.q("SELECT * FROM jobs WHERE owner = ? AND landscape_id = ? AND database_backup_id = ? "
                                "ORDER BY id DESC", (owner, params["landscape_id"], dbid))
            row = rows[0] if rows else None
        else:
            raise Http_Error(400, "job_uuid or landscape_id and database_backup_id are required")
        if row is None:
            raise Http_Error(404, "no such backint job")
        return 200, job_object(row)

    def put_job(self, owner, body):
        need_object(body)
        check_kinds(body, JOB_STRINGS, ("database_backup_id",))
        job_uuid = body.get("uuid", "")
        if not job_uuid:
            raise Http_Error(400, 'member "uuid" is missing or empty')
        row = self._find_job(owner, job_uuid)
        if row is None:
            raise Http_Error(404, "no such backint job")
        # Only what the update carries changes: empty strings, a zero backup
        # id and an empty attribute object leave the stored values alone.
        sets, args = [], []
        for k in JOB_STRINGS:
            if k != "uuid" and body.get(k):
                sets.append(k + " = ?")
                args.append(body[k])
        if body.get("database_backup_id"):
            sets.append("database_backup_id = ?")
            args.append(body["database_backup_id"])
        if body.get("compression") or body.get("compression_level", 1) != 1:
            sets.append("compression_level = ?")
            args.append(body.get("compression_level", 1))
        attrs = body.get("extended_attrs")
        if isinstance(attrs, dict) and attrs:
            merged = json.loads(row["extended_attrs"] or "{}")
            merged.update(attrs)
            sets.append("extended_attrs = ?")
            args.append(json.dumps(merged))
        if sets:
            self.store.x("UPDATE jobs SET %s WHERE id = ?" % ", ".join(sets), args + [row["id"]])
        return 200, job_object(self._find_job(owner, job_uuid))

    def delete_job(self, owner, params):
        job_uuid = params.get("job_uuid", "")
        if not job_uuid:
            raise Http_Error(400, "job_uuid is required")
        if self._find_job(owner, job_uuid) is None:
            raise Http_Error(404, "no such backint job")
        self.store.x("DELETE FROM files WHERE owner = ? AND job_uuid = ?", (owner, job_uuid))
        self.store.x("DELETE FROM jobs WHERE owner = ? AND uuid = ?", (owner, job_uuid))
        return 200, {"result": "deleted"}

    # --- backint files ------------------------------------------------
    def post_files(self, owner, body, unique=True):
        need_object(body)
        job_uuid = body.get("job_uuid")
        files = body.get("files")
        if not isinstance(job_uuid, str) or not job_uuid:
            raise Http_Error(400, 'member "job_uuid" is missing or empty')
        if not isinstance(files, list) or not files:
            raise Http_Error(400, 'member "files" is missing or empty')
        job = self._find_job(owner, job_uuid)
        if job is None:
            raise Http_Error(404, "no such backint job")
        for f in files:
            need_object(f)
            check_kinds(f, FILE_STRINGS, FILE_NUMBERS)
            if not f.get("extern_backup_id"):
                raise Http_Error(400, 'member "extern_backup_id" is missing or empty')
        stored = []
        for f in files:
            values = {k: f.get(k, "") for k in FILE_STRINGS}
            values.update({k: f.get(k, 0) for k in FILE_NUMBERS})
            values["location"] = values["location"] or (job["location"] or "")
            # An EBID names one object. A client that retries a registration
            # whose answer it lost posts the same record again: that is no
            # new record; another record under the same EBID is a conflict.
            same = self.store.q("SELECT * FROM files WHERE owner = ? AND extern_backup_id = ?",
                                (owner, values["extern_backup_id"]))
            if same and unique:
                old = same[0]
                given = {k: v for k, v in values.items() if k not in ("info_uuid", "backup_time") or v}
                if old["job_uuid"] != job_uuid or any(old[k] != v for k, v in given.items()):
                    raise Http_Error(409, "extern_backup_id %s is registered already" % values["extern_backup_id"])
                stored.append(old["id"])
                continue
            values["info_uuid"] = values["info_uuid"] or uuidlib.uuid4().hex
            values["backup_time"] = values["backup_time"] or now_iso()
            cols = list(values)
            rowid, _ = self.store.x("INSERT INTO files (owner, job_uuid, %s) VALUES (?, ?, %s)" %
                                    (", ".join(cols), ", ".join("?" * len(cols))),
                                    [owner, job_uuid] + [values[c] for c in cols])
            stored.append(rowid)
        return 200, {"total": len(stored)}

    def get_files(self, owner, params):
        allowed = {"limit", "offset", "landscape_id", "database", "filename", "extern_backup_id", "uuid", "job_uuid"}
        unknown = set(params) - allowed
        if unknown:
            raise Http_Error(400, "unknown query parameter %s" % sorted(unknown)[0])
        where, args = ["f.owner = ?"], [owner]
        for key, col in (("landscape_id", "j.landscape_id"), ("database", "j.database"), ("filename", "f.filename"),
                         ("extern_backup_id", "f.extern_backup_id"), ("uuid", "f.job_uuid"),
                         ("job_uuid", "f.job_uuid")):
            if key in params:
                where.append(col + " = ?")
                args.append(params[key])
        try:
            limit = int(params["limit"]) if "limit" in params else -1
            offset = int(params["offset"]) if "offset" in params else 0
        except ValueError:
            raise Http_Error(400, "limit and offset must be numbers")
        base = ("FROM files f LEFT JOIN jobs j ON j.owner = f.owner AND j.uuid = f.job_uuid WHERE " +
                " AND ".join(where))
        total = self.store.q("SELECT COUNT(*) AS n " + base, args)[0]["n"]
        rows = self.store.q("SELECT f.*, j.landscape_id AS j_landscape, j.database AS j_database " + base +
                            " ORDER BY f.id LIMIT ? OFFSET ?", args + [limit, offset])
        out = []
        for r in rows:
            o = file_object(r)
            o["landscape_id"] = r["j_landscape"] or ""
            o["database"] = r["j_database"] or ""
            out.append(o)
        return 200, {"rows": out, "total": total}

    def delete_file(self, owner, params):
        ebid = params.get("extern_backup_id", "")
        if not ebid:
            raise Http_Error(400, "extern_backup_id is required")
        _, n = self.store.x("DELETE FROM files WHERE owner = ? AND extern_backup_id = ?", (owner, ebid))
        if n == 0:
            raise Http_Error(404, "no such backint file")
        return 200, {"result": "deleted", "count": n}

    # --- enqueue --------------------------------------------------------
    def enqueue(self, owner, body):
        need_object(body)
        for k in ("action", "backint_job_uuid", "backupd_job_uuid", "uid", "host_uuid"):
            if not isinstance(body.get(k), str):
                raise Http_Error(400, 'member "%s" is missing or not a string' % k)
        if body["host_uuid"] != owner:
            raise Http_Error(403, "host_uuid is not the caller's host")
        self.store.x("INSERT INTO enqueues (owner, body) VALUES (?, ?)", (owner, json.dumps(body)))
        return 200, {"result": "enqueued"}

    # --- sets, resources, pools ------------------------------------------
    def sets_select(self, owner, params):
        module = params.get("module", "")
        view = params.get("view", "")
        if not module or not view:
            raise Http_Error(400, "module and view are required")
        try:
            limit = int(params.get("limit", "-1"))
            offset = int(params.get("offset", "0"))
        except ValueError:
            raise Http_Error(400, "limit and offset must be numbers")
        zero = "0" * 8 + "-" + "0" * 4 + "-" + "0" * 4 + "-" + "0" * 4 + "-" + "0" * 12
        rows = self.store.q("SELECT * FROM sets WHERE (owner IS NULL OR owner = ?) AND module = ? AND view = ? "
                            "ORDER BY id", (owner, module, view))
        matched = []
        for r in rows:
            row = json.loads(r["row"])
            ok = True
            for k, v in params.items():
                if k in ("module", "view", "limit", "offset", "order", "sort"):
                    continue
                if k == "resource_uuid" and (v in ("", zero, "0" * 32)):
                    continue
                if k == "filename":
                    have = row.get("filename")
                    if have is None:
                        have = str(row.get("location", "")).rsplit("/", 1)[-1]
                else:
                    have = row.get(k)
                if have is None or str(have) != v:
                    ok = False
                    break
            if ok:
                matched.append(row)
        if params.get("sort"):
            key = params["sort"]
            matched.sort(key=lambda r: (r.get(key) is None, r.get(key)), reverse=params.get("order") == "desc")
        total = len(matched)
        page = matched[offset:] if limit < 0 else matched[offset:offset + limit]
        return 200, {"rows": page, "total": total}

    def resources(self, owner, params):
        rid = params.get("uuid", "")
        if not rid:
            raise Http_Error(400, "uuid is required")
        rows = self.store.q("SELECT record FROM resources WHERE uuid = ? AND (owner IS NULL OR owner = ?)",
                            (rid, owner))
        out = [json.loads(r["record"]) for r in rows]
        return 200, {"rows": out, "total": len(out)}

    def pool(self, owner, pool_uuid):
        rows = self.store.q("SELECT record FROM pools WHERE uuid = ? AND (owner IS NULL OR owner = ?)",
                            (pool_uuid, owner))
        if not rows:
            raise Http_Error(404, "no such pool")
        return 200, json.loads(rows[0]["record"])


class Rpc_Error(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


class Rpc:
    """JSON-RPC 2.0 on POST /jsonrpc, behind the access key: agent
    registration, job definitions and forwarding to registered agents. Only
    these methods exist; anything else is an error, never a guess."""

    FORWARD_DEFAULT_TIMEOUT = 30
    FORWARD_MAX_TIMEOUT = 600

    def __init__(self, store, agent_ca_file=None):
        self.store = store
        self.agent_ca_file = agent_ca_file
        self.forward_id = 0
        self.lock = threading.Lock()
        self.methods = {}  # further methods of the server's modules

    def call(self, owner, body):
        rid = None
        try:
            if not isinstance(body, dict) or body.get("jsonrpc") != "2.0" or not isinstance(body.get("method"), str):
                raise Rpc_Error(-32600, "Invalid Request")
            rid = body.get("id")
            if "id" not in body or not (rid is None or isinstance(rid, str) or
                                        (isinstance(rid, int) and not isinstance(rid, bool))):
                raise Rpc_Error(-32600, "Invalid Request: requests only, with an id")
            params = body.get("params", {})
            if not isinstance(params, dict):
                raise Rpc_Error(-32602, "params must be an object")
            method = {"agent.register": self.register, "job.def.list": self.job_def_list,
                      "agent.forward": self.forward}.get(body["method"], self.methods.get(body["method"]))
            if method is None:
                raise Rpc_Error(-32601, "Method not found")
            result = method(owner, params)
            return 200, {"jsonrpc": "2.0", "result": result, "id": rid}
        except Rpc_Error as e:
            return 200, {"jsonrpc": "2.0", "error": {"code": e.code, "message": e.message}, "id": rid}

    @staticmethod
    def _only(params, allowed):
        unknown = set(params) - set(allowed)
        if unknown:
            raise Rpc_Error(-32602, 'unknown member "%s"' % sorted(unknown)[0])

    @staticmethod
    def _string(params, key, required=True):
        value = params.get(key)
        if value is None and not required:
            return None
        if not isinstance(value, str) or not value:
            raise Rpc_Error(-32602, 'member "%s" is missing or not a non-empty string' % key)
        return value

    def register(self, owner, params):
        self._only(params, ("host_uuid", "address", "endpoint_key"))
        host = self._string(params, "host_uuid")
        address = self._string(params, "address")
        # The agent's own endpoint key: the only credential its endpoint
        # accepts, handed over on this session that the host's access key
        # authenticates. Never answered back.
        endpoint_key = self._string(params, "endpoint_key")
        if host != owner:
            raise Rpc_Error(-32602, "host_uuid is not the caller's host")
        url = urlsplit(address)
        if url.scheme not in ("http", "https") or not url.hostname or not url.port:
            raise Rpc_Error(-32602, "address must be http(s)://host:port")
        self.store.x("INSERT OR REPLACE INTO agents (host_uuid, address, endpoint_key) VALUES (?, ?, ?)",
                     (host, address, endpoint_key))
        return {"host_uuid": host, "address": address}

    def job_def_list(self, owner, params):
        self._only(params, ("uuid",))
        uuid = self._string(params, "uuid", required=False)
        sql = "SELECT uuid, record FROM job_defs WHERE (owner IS NULL OR owner = ?)"
        args = [owner]
        if uuid is not None:
            sql += " AND uuid = ?"
            args.append(uuid)
        out = []
        for r in self.store.q(sql + " ORDER BY rowid", args):
            record = json.loads(r["record"])
            record["uuid"] = r["uuid"]
            out.append(record)
        return out

    def forward(self, owner, params):
        self._only(params, ("host_uuid", "method", "params", "timeout"))
        host = self._string(params, "host_uuid")
        method = self._string(params, "method")
        timeout = params.get("timeout", self.FORWARD_DEFAULT_TIMEOUT)
        if not isinstance(timeout, int) or isinstance(timeout, bool) or not 1 <= timeout <= self.FORWARD_MAX_TIMEOUT:
            raise Rpc_Error(-32602, 'member "timeout" must be an integer from 1 to %d' % self.FORWARD_MAX_TIMEOUT)
        address, key = self.store.agent_of(host)
        if not address or not key:
            raise Rpc_Error(-32001, "no agent registered for host %s" % host)
        with self.lock:
            self.forward_id += 1
            fid = self.forward_id
        request = {"jsonrpc": "2.0", "method": method, "id": "fwd-%d" % fid}
        if "params" in params:
            request["params"] = params["params"]
        outcome = {}

        def exchange():
            try:
                outcome["answer"] = self._post(address, key, request, timeout)
            except Exception as e:  # reported below, on the caller's thread
                outcome["error"] = e

        # The whole exchange is bounded, not only each socket operation: a
        # peer that trickles bytes must not hold the caller either.
        worker = threading.Thread(target=exchange, daemon=True)
        worker.start()
        worker.join(timeout)
        if worker.is_alive() or isinstance(outcome.get("error"), (OSError, socket.timeout)):
            raise Rpc_Error(-32002, "agent of host %s did not answer within %d s" % (host, timeout))
        if "error" in outcome:
            raise Rpc_Error(-32003, "agent of host %s: %s" % (host, outcome["error"]))
        status, answer = outcome["answer"]
        if status != 200:
            raise Rpc_Error(-32003, "agent of host %s answered HTTP status %d" % (host, status))
        if not isinstance(answer, dict) or answer.get("jsonrpc") != "2.0" or answer.get("id") != request["id"]:
            raise Rpc_Error(-32003, "agent of host %s gave no JSON-RPC answer" % host)
        if isinstance(answer.get("error"), dict):
            return {"error": answer["error"]}
        if "result" not in answer:
            raise Rpc_Error(-32003, "agent of host %s gave no JSON-RPC answer" % host)
        return {"result": answer["result"]}

    def _post(self, address, key, request, timeout):
        url = urlsplit(address)
        if url.scheme == "https":
            ctx = ssl.create_default_context(cafile=self.agent_ca_file)
            conn = http.client.HTTPSConnection(url.hostname, url.port, context=ctx, timeout=timeout)
        else:
            conn = http.client.HTTPConnection(url.hostname, url.port, timeout=timeout)
        try:
            conn.request("POST", "/jsonrpc", body=json.dumps(request),
                         headers={"Content-Type": "application/json", "X-Access-Key": key})
            resp = conn.getresponse()
            raw = resp.read()
            try:
                return resp.status, json.loads(raw) if raw else None
            except ValueError:
                return resp.status, None
        finally:
            conn.close()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, store, ssl_context=None, log=None, agent_ca_file=None):
        self.store = store
        self.catalog = Catalog(store)
        self.rpc = Rpc(store, agent_ca_file)
        self.sets = sets.Sets(store)
        self.ssl_context = ssl_context
        self.log_file = log
        self.state_lock = threading.Lock()
        self.requests = []  # every request received, in order
        self.faults = []    # pending fault rules
        self.jobs = jobs.Jobs(store, self.rpc, Rpc_Error)
        self.rpc.methods.update(self.jobs.rpc_methods())
        self.log_runs = log_runs.Log_Runs(store, self.jobs)
        super().__init__(("127.0.0.1", port), Handler)

    def handle_error(self, request, client_address):
        # A client that gives up (a refused certificate, a dropped
        # connection) is not the server's failure; note it only in the log.
        if self.log_file:
            import traceback
            self.log_file.write("error with %s:\n%s" % (client_address, traceback.format_exc()))
            self.log_file.flush()

    def take_fault(self, method, path):
        with self.state_lock:
            for f in self.faults:
                if f["count"] <= 0:
                    continue
                if f.get("prefix") and not path.startswith(f["prefix"]):
                    continue
                if f.get("method") and f["method"].upper() != method:
                    continue
                f["count"] -= 1
                fault = dict(f)
                self.faults = [x for x in self.faults if x["count"] > 0]
                return fault
        return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "backupd-dev/1.0"
    # Headers and body leave in separate writes; with Nagle's algorithm the
    # body would wait for the client's delayed acknowledgement (40 ms).
    disable_nagle_algorithm = True

    def setup(self):
        if self.server.ssl_context is not None:
            # The TLS handshake runs here, in the connection's own thread, so
            # a client that stalls or refuses the certificate holds up no one.
            self.request = self.server.ssl_context.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, fmt, *args):
        if self.server.log_file:
            self.server.log_file.write("%s %s\n" % (self.address_string(), fmt % args))
            self.server.log_file.flush()

    # --- plumbing ---------------------------------------------------------
    def _answer(self, status, obj):
        data = json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.wfile.flush()

    def _answer_raw(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.wfile.flush()

    def _read_body(self):
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().strip().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            return b"".join(chunks)
        return self.rfile.read(int(length)) if length else b""

    def _handle(self):
        url = urlsplit(self.path)
        path = url.path
        pairs = parse_qsl(url.query, keep_blank_values=True)
        params = dict(pairs)
        raw = self._read_body()
        body = None
        body_error = None
        if raw:
            try:
                body = json.loads(raw)
            except ValueError:
                body_error = "the body is not JSON"
                body = raw.decode("utf-8", "replace")
        if path.startswith("/admin/"):
            return self._admin(path, params, body, body_error)

        key = self.headers.get("X-Access-Key")
        owner = self.server.store.host_of(key) if key else None
        shown = body
        if isinstance(body, dict) and isinstance(body.get("params"), dict) and "endpoint_key" in body["params"]:
            # The list of requests never shows an agent's endpoint key.
            shown = dict(body, params=dict(body["params"], endpoint_key="***"))
        entry = {"method": self.command, "path": path, "query": url.query, "params": pairs, "body": shown,
                 "host_uuid": owner, "status": None,
                 "peer": "%s:%d" % (self.client_address[0], self.client_address[1])}
        with self.server.state_lock:
            self.server.requests.append(entry)

        fault = self.server.take_fault(self.command, path)
        if fault and fault.get("drop") == "after":
            # The request takes effect, but its answer is lost on the way.
            if owner is not None and not body_error:
                try:
                    self._route(owner, path, params, body)
                except Exception:  # noqa: BLE001 - the answer is dropped anyway
                    pass
            entry["status"] = "dropped after processing"
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if fault:
            if fault.get("delay"):
                time.sleep(float(fault["delay"]))
            drop = fault.get("drop")
            if drop:
                entry["status"] = "dropped"
                self.close_connection = True
                if drop != "silent":
                    # Cut the answer short: the headers promise a body that
                    # never comes, so the client sees a broken transfer.
                    self.send_response(200)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", "100")
                    self.end_headers()
                    self.wfile.write(b'{"rows": [')
                    self.wfile.flush()
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return
            if fault.get("status"):
                entry["status"] = int(fault["status"])
                if fault.get("raw") is not None:
                    return self._answer_raw(int(fault["status"]), fault["raw"].encode())
                return self._answer(int(fault["status"]), fault.get("body", {"error": "injected fault"}))

        if owner is None:
            entry["status"] = 401
            return self._answer(401, {"error": "missing or unknown access key"})
        try:
            if body_error:
                raise Http_Error(400, body_error)
            status, obj = self._route(owner, path, params, body)
        except Http_Error as e:
            status, obj = e.status, {"error": e.message}
        except Exception as e:  # a fault of this server must still answer
            status, obj = 500, {"error": "%s: %s" % (type(e).__name__, e)}
        entry["status"] = status
        self._answer(status, obj)

    def _route(self, owner, path, params, body):
        c = self.server.catalog
        m = self.command
        routed = self.server.sets.route(owner, m, path, params, body)
        if routed is not None:
            return routed
        if path == JOB_PATH:
            if m == "POST":
                return c.post_job(owner, body)
            if m == "GET":
                return c.get_job(owner, params)
            if m == "PUT":
                return c.put_job(owner, body)
            if m == "DELETE":
                return c.delete_job(owner, params)
        elif path == ENQUEUE_PATH:
            if m == "POST":
                answer = c.enqueue(owner, body)
                self.server.log_runs.enqueued(owner, body)
                return answer
        elif path == FILE_PATH:
            if m == "POST":
                return c.post_files(owner, body)
            if m == "GET":
                return c.get_files(owner, params)
            if m == "DELETE":
                return c.delete_file(owner, params)
        elif path == SETS_SELECT_PATH:
            if m == "GET":
                return c.sets_select(owner, params)
        elif path == RESOURCES_PATH:
            if m == "GET":
                return c.resources(owner, params)
        elif path == RPC_PATH:
            if m == "POST":
                return self.server.rpc.call(owner, body)
        elif path.startswith(POOLS_PREFIX) and len(path) > len(POOLS_PREFIX):
            if m == "GET":
                return c.pool(owner, path[len(POOLS_PREFIX):])
        else:
            raise Http_Error(404, "no such path")
        raise Http_Error(405, "method not allowed")

    # --- admin --------------------------------------------------------------
    def _admin(self, path, params, body, body_error):
        try:
            if body_error:
                raise Http_Error(400, body_error)
            status, obj = self._admin_route(path, params, body)
        except Http_Error as e:
            status, obj = e.status, {"error": e.message}
        except Exception as e:
            status, obj = 500, {"error": "%s: %s" % (type(e).__name__, e)}
        self._answer(status, obj)

    def _admin_route(self, path, params, body):
        srv = self.server
        st = srv.store
        m = self.command
        if path == "/admin/ping":
            return 200, {"pid": os.getpid()}
        routed = srv.sets.admin(m, path, params)
        if routed is not None:
            return routed
        if path == "/admin/hosts" and m == "POST":
            need_object(body)
            if not body.get("host_uuid") or not body.get("access_key"):
                raise Http_Error(400, "host_uuid and access_key are required")
            st.add_host(body["host_uuid"], body["access_key"])
            return 200, {}
        if path == "/admin/pools" and m == "POST":
            need_object(body)
            if not body.get("uuid"):
                raise Http_Error(400, "uuid is required")
            record = {"uuid": body["uuid"], "name": body.get("name", ""), "url": body.get("url", ""),
                      "compression": body.get("compression", "none"),
                      "compression_level": body.get("compression_level", 0),
                      "server_side_dedup": bool(body.get("server_side_dedup", False))}
            st.x("INSERT OR REPLACE INTO pools (uuid, owner, record) VALUES (?, ?, ?)",
                 (body["uuid"], body.get("owner"), json.dumps(record)))
            return 200, record
        if path == "/admin/resources" and m == "POST":
            need_object(body)
            record = body.get("record")
            if not body.get("uuid") or not isinstance(record, dict):
                raise Http_Error(400, "uuid and record (object) are required")
            record = dict(record)
            record.setdefault("uuid", body["uuid"])
            st.x("INSERT OR REPLACE INTO resources (uuid, owner, record) VALUES (?, ?, ?)",
                 (body["uuid"], body.get("owner"), json.dumps(record)))
            return 200, record
        if path == "/admin/sets" and m == "POST":
            need_object(body)
            rows = body.get("rows")
            if not isinstance(rows, list) or not all(isinstance(r, dict) for r in rows):
                raise Http_Error(400, "rows (array of objects) is required")
            for r in rows:
                st.x("INSERT INTO sets (owner, module, view, row) VALUES (?, ?, ?, ?)",
                     (body.get("owner"), body.get("module", "hana"), body.get("view", "backupfile"), json.dumps(r)))
            return 200, {"count": len(rows)}
        if path == "/admin/jobdefs" and m == "POST":
            need_object(body)
            record = body.get("record", {})
            if not isinstance(body.get("uuid"), str) or not body["uuid"] or not isinstance(record, dict):
                raise Http_Error(400, "uuid (string) and record (object) are required")
            st.x("INSERT OR REPLACE INTO job_defs (uuid, owner, record) VALUES (?, ?, ?)",
                 (body["uuid"], body.get("owner"), json.dumps(record)))
            return 200, dict(record, uuid=body["uuid"])
        if path == "/admin/jobdefs" and m == "DELETE":
            if not params.get("uuid"):
                raise Http_Error(400, "uuid is required")
            _, n = st.x("DELETE FROM job_defs WHERE uuid = ?", (params["uuid"],))
            if n == 0:
                raise Http_Error(404, "no such job definition")
            return 200, {}
        if path == "/admin/agents" and m == "GET":
            rows = st.q("SELECT host_uuid, address FROM agents ORDER BY host_uuid")
            return 200, {"rows": [dict(r) for r in rows]}
        if path == "/admin/agents" and m == "POST":
            need_object(body)
            if not isinstance(body.get("host_uuid"), str) or not isinstance(body.get("address"), str):
                raise Http_Error(400, "host_uuid and address (strings) are required")
            if not isinstance(body.get("endpoint_key", ""), str):
                raise Http_Error(400, "endpoint_key must be a string")
            st.x("INSERT OR REPLACE INTO agents (host_uuid, address, endpoint_key) VALUES (?, ?, ?)",
                 (body["host_uuid"], body["address"], body.get("endpoint_key")))
            return 200, {}
        if path == "/admin/requests":
            if m == "DELETE":
                with srv.state_lock:
                    srv.requests = []
                return 200, {}
            with srv.state_lock:
                return 200, {"requests": list(srv.requests)}
        if path == "/admin/faults":
            if m == "DELETE":
                with srv.state_lock:
                    srv.faults = []
                return 200, {}
            if m == "POST":
                need_object(body)
                fault = {"count": int(body.get("count", 1)), "status": body.get("status"),
                         "prefix": body.get("prefix"), "method": body.get("method"),
                         "delay": body.get("delay"), "drop": body.get("drop", False)}
                if "body" in body:
                    fault["body"] = body["body"]
                if isinstance(body.get("raw"), str):
                    fault["raw"] = body["raw"]
                if not fault["status"] and not fault["drop"] and not fault["delay"]:
                    raise Http_Error(400, "a fault needs status, drop or delay")
                with srv.state_lock:
                    srv.faults.append(fault)
                return 200, fault
            with srv.state_lock:
                return 200, {"faults": list(srv.faults)}
        if path == "/admin/jobs" and m == "POST":
            need_object(body)
            owner = body.get("host_uuid")
            if not owner or not isinstance(body.get("job"), dict):
                raise Http_Error(400, "host_uuid and job (object) are required")
            job = dict(body["job"])
            job.setdefault("check_exist", False)
            return srv.catalog.post_job(owner, job)
        if path == "/admin/files" and m == "POST":
            need_object(body)
            owner = body.get("host_uuid")
            if not owner:
                raise Http_Error(400, "host_uuid is required")
            # Seeding may set up what older servers left, two records of one EBID too.
            return srv.catalog.post_files(owner, {"job_uuid": body.get("job_uuid"), "files": body.get("files")},
                                          unique=False)
        if path in ("/admin/jobs", "/admin/files", "/admin/enqueues") and m == "GET":
            table = path.rsplit("/", 1)[1]
            owner = params.get("host_uuid")
            sql = "SELECT * FROM %s" % table + (" WHERE owner = ?" if owner else "") + " ORDER BY id"
            rows = st.q(sql, (owner,) if owner else ())
            if table == "jobs":
                out = [dict(job_object(r), owner=r["owner"]) for r in rows]
            elif table == "files":
                out = [dict(file_object(r), owner=r["owner"]) for r in rows]
            else:
                out = [dict(json.loads(r["body"]), owner=r["owner"]) for r in rows]
            return 200, {"rows": out}
        routed = srv.jobs.admin(m, path, params, body) or srv.log_runs.admin(m, path, params)
        if routed is not None:
            return routed
        raise Http_Error(404, "no such admin path")

    def do_GET(self):
        self._handle()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_GET


def write_private(path, data, mode):
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "w") as f:
        f.write(data)
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def main(argv):
    import argparse
    p = argparse.ArgumentParser(prog="backupd", description="development backupd (loopback only)")
    p.add_argument("--db", required=True, help="SQLite database file (created when missing)")
    p.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0 picks a free one")
    p.add_argument("--port-file", help="file that receives the port once the server listens")
    p.add_argument("--ssl-cert", help="PEM certificate: serve HTTPS")
    p.add_argument("--ssl-key", help="PEM private key of --ssl-cert")
    p.add_argument("--ca-file", help="CA file written to agent.conf (default: --ssl-cert)")
    p.add_argument("--agent-conf-dir", help="write agent.conf and access_key for this server into DIR")
    p.add_argument("--host-uuid", help="host UUID to register (with --access-key)")
    p.add_argument("--access-key", help="access key of --host-uuid")
    p.add_argument("--log", help="append a request log to this file")
    p.add_argument("--agent-ca-file", help="CA file to verify agents that serve HTTPS (forwarding)")
    a = p.parse_args(argv)
    if bool(a.ssl_cert) != bool(a.ssl_key):
        p.error("--ssl-cert and --ssl-key go together")
    if bool(a.host_uuid) != bool(a.access_key):
        p.error("--host-uuid and --access-key go together")
    if a.agent_conf_dir and not a.host_uuid:
        p.error("--agent-conf-dir needs --host-uuid and --access-key")

    ctx = None
    if a.ssl_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.ssl_cert, a.ssl_key)
    log = open(a.log, "a") if a.log else None
    store = Store(a.db)
    if a.host_uuid:
        store.add_host(a.host_uuid, a.access_key)
    srv = Server(a.port, store, ctx, log, a.agent_ca_file)
    port = srv.server_address[1]

    if a.agent_conf_dir:
        os.makedirs(a.agent_conf_dir, exist_ok=True)
        conf = {"host_uuid": a.host_uuid, "backupd_host": "127.0.0.1", "backupd_port": port,
                "backupd_ssl": ctx is not None,
                "ca_file": os.path.abspath(a.ca_file or a.ssl_cert) if ctx is not None else ""}
        write_private(os.path.join(a.agent_conf_dir, "agent.conf"), json.dumps(conf, indent=2) + "\n", 0o644)
        write_private(os.path.join(a.agent_conf_dir, "access_key"), a.access_key, 0o600)
    if a.port_file:
        write_private(a.port_file, "%d\n" % port, 0o644)

    def on_term(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    try:
        srv.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        srv.server_close()
        store.close()
        if log:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
