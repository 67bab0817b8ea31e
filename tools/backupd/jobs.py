"""Job runs of the development backupd: the server's side of the agent's
jobs.

- Commands: POST /admin/job/command sends a job command ("start", "stop",
  "pause", "resume", "abort", "remove", "update", "setup_ondemand") to the
  registered agent of the host that owns the job definition, as the agent's
  JSON-RPC method "agent.job.<command>". A start opens a run under a new
  job_act_id, which travels to the agent in the start's options.
- Reports: the agents' JSON-RPC methods "job.event" (start, progress,
  success, failure, paused, canceled, state, complete) and "job.alert".
  Every report is kept; events also keep each run's state, progress and
  outcome (a run the agent started by itself is opened by its first event).
- Lists: GET /admin/job/runs, /admin/job/events, /admin/job/alerts.

Reports are accepted only for job definitions the calling host may see
(the same rule as job.def.list).
"""

import json
import threading
import time
import uuid as uuidlib

SCHEMA = """
CREATE TABLE IF NOT EXISTS job_runs (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  job_act_id TEXT NOT NULL UNIQUE, definition_id TEXT NOT NULL, origin TEXT NOT NULL, state TEXT NOT NULL,
  progress INTEGER NOT NULL DEFAULT 0, outcome TEXT, error TEXT, started INTEGER, ended INTEGER);
CREATE TABLE IF NOT EXISTS job_events (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  definition_id TEXT NOT NULL, job_act_id TEXT NOT NULL, event TEXT NOT NULL, params TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS job_alerts (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  definition_id TEXT NOT NULL, job_act_id TEXT NOT NULL, category INTEGER NOT NULL, code INTEGER NOT NULL,
  flags INTEGER NOT NULL, severity INTEGER NOT NULL, parameters TEXT NOT NULL, time INTEGER NOT NULL);
"""

COMMANDS = ("start", "stop", "pause", "resume", "abort", "remove", "update", "setup_ondemand")
EVENTS = ("start", "progress", "success", "failure", "paused", "canceled", "state", "complete")
OUTCOMES = {"success": "success", "failure": "failure", "paused": "paused", "canceled": "canceled"}
AGENT_TIMEOUT = 30


def _is_int(v, low, high):
    return isinstance(v, int) and not isinstance(v, bool) and low <= v < high


class Jobs:
    """`store`: the server's Store; `rpc`: its Rpc (for the way to agents);
    `rpc_error`: the JSON-RPC error class its Rpc answers with."""

    def __init__(self, store, rpc, rpc_error):
        self.store = store
        self.rpc = rpc
        self.rpc_error = rpc_error
        self.lock = threading.Lock()
        with store.lock:
            store.db.executescript(SCHEMA)

    # --- JSON-RPC from agents -----------------------------------------------
    def rpc_methods(self):
        return {"job.event": self.event, "job.alert": self.alert}

    def _fail(self, message):
        raise self.rpc_error(-32602, message)

    def _report_head(self, owner, params):
        """The members every report carries; checks them."""
        for key in ("definition_id", "job_act_id"):
            if not isinstance(params.get(key), str):
                self._fail('member "%s" is missing or not a string' % key)
        if not params["definition_id"]:
            self._fail('member "definition_id" is empty')
        if "host_uuid" in params and params["host_uuid"] not in ("", owner):
            self._fail("host_uuid is not the caller's host")
        if not _is_int(params.get("time"), 0, 1 << 63):
            self._fail('member "time" is missing or not a time')
        rows = self.store.q("SELECT 1 FROM job_defs WHERE uuid = ? AND (owner IS NULL OR owner = ?)",
                            (params["definition_id"], owner))
        if not rows:
            self._fail("unknown job definition %s" % params["definition_id"])
        return params["definition_id"], params["job_act_id"]

    def event(self, owner, params):
        definition_id, act = self._report_head(owner, params)
        event = params.get("event")
        if event not in EVENTS:
            self._fail('member "event" must be one of %s' % ", ".join(EVENTS))
        if event == "progress" and not _is_int(params.get("percent"), 0, 101):
            self._fail('member "percent" must be an integer from 0 to 100')
        if event == "failure" and not _is_int(params.get("code"), -(1 << 31), 1 << 31):
            self._fail('member "code" must be an integer')
        if event == "state" and not _is_int(params.get("state"), 0, 1 << 31):
            self._fail('member "state" must be a job state')
        with self.lock:
            self.store.x("INSERT INTO job_events (owner, definition_id, job_act_id, event, params) VALUES (?, ?, ?, ?, ?)",
                         (owner, definition_id, act, event, json.dumps(params)))
            if act:
                self._advance_run(owner, definition_id, act, event, params)
        return {"recorded": True}

    def _advance_run(self, owner, definition_id, act, event, params):
        rows = self.store.q("SELECT * FROM job_runs WHERE job_act_id = ?", (act,))
        if rows and (rows[0]["owner"] != owner or rows[0]["definition_id"] != definition_id):
            self._fail("run %s belongs to another job" % act)
        if not rows:
            self.store.x("INSERT INTO job_runs (owner, job_act_id, definition_id, origin, state, started) "
                         "VALUES (?, ?, ?, 'agent', 'running', ?)", (owner, act, definition_id, params["time"]))
        if event == "start":
            self.store.x("UPDATE job_runs SET state = 'running', started = ? WHERE job_act_id = ?",
                         (params["time"], act))
        elif event == "progress":
            self.store.x("UPDATE job_runs SET progress = ? WHERE job_act_id = ?", (params["percent"], act))
        elif event in OUTCOMES:
            progress = ", progress = 100" if event == "success" else ""
            self.store.x("UPDATE job_runs SET outcome = ?%s WHERE job_act_id = ?" % progress, (OUTCOMES[event], act))
            if event == "failure" and isinstance(params.get("text"), str):
                self.store.x("UPDATE job_runs SET error = ? WHERE job_act_id = ?", (params["text"], act))
        elif event == "complete":
            outcome = params.get("outcome")
            self.store.x("UPDATE job_runs SET state = 'ended', ended = ?, outcome = COALESCE(outcome, ?) "
                         "WHERE job_act_id = ?",
                         (params["time"], outcome if outcome in OUTCOMES else None, act))

    def alert(self, owner, params):
        definition_id, act = self._report_head(owner, params)
        for key, low, high in (("category", 0, 1 << 31), ("code", -(1 << 31), 1 << 31), ("flags", 0, 1 << 63),
                               ("severity", 0, 1 << 31)):
            if not _is_int(params.get(key), low, high):
                self._fail('member "%s" is missing or out of range' % key)
        self.store.x("INSERT INTO job_alerts (owner, definition_id, job_act_id, category, code, flags, severity, "
                     "parameters, time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     (owner, definition_id, act, params["category"], params["code"], params["flags"],
                      params["severity"], json.dumps(params.get("parameters")), params["time"]))
        return {"recorded": True}

    # --- admin ------------------------------------------------------------------
    def admin(self, method, path, params, body):
        """(status, answer) for the paths of this module, None for others."""
        if path == "/admin/job/command" and method == "POST":
            return self.command(body)
        lists = {"/admin/job/runs": self.runs, "/admin/job/events": self.events,
                 "/admin/job/alerts": self.alerts}
        if path in lists and method == "GET":
            return 200, {"rows": lists[path](params)}
        return None

    def command(self, body):
        if not isinstance(body, dict):
            return 400, {"error": "the body must be a JSON object"}
        definition_id = body.get("definition_id")
        command = body.get("command")
        options = body.get("options", {})
        if not isinstance(definition_id, str) or not definition_id:
            return 400, {"error": "definition_id (string) is required"}
        if command not in COMMANDS:
            return 400, {"error": "command must be one of %s" % ", ".join(COMMANDS)}
        if not isinstance(options, dict):
            return 400, {"error": "options must be an object"}
        rows = self.store.q("SELECT owner, record FROM job_defs WHERE uuid = ?", (definition_id,))
        if not rows:
            return 404, {"error": "no such job definition"}
        host = rows[0]["owner"] or json.loads(rows[0]["record"]).get("host_id")
        if not host:
            return 409, {"error": "the job definition names no host (owner or host_id)"}
        address, key = self.store.agent_of(host)
        if not address or not key:
            return 409, {"error": "no agent registered for host %s" % host}
        options = dict(options)
        act = None
        if command == "start":
            act = options.get("job_act_id") or str(uuidlib.uuid4())
            options["job_act_id"] = act
            with self.lock:
                self.store.x("INSERT INTO job_runs (owner, job_act_id, definition_id, origin, state, started) "
                             "VALUES (?, ?, ?, 'server', 'starting', ?)", (host, act, definition_id, int(time.time())))
        request = {"jsonrpc": "2.0", "method": "agent.job." + command, "id": "job-" + command,
                   "params": {"id": definition_id, "options": options}}
        try:
            status, answer = self.rpc._post(address, key, request, AGENT_TIMEOUT)
        except OSError as e:
            self._refused(act, "no answer from the agent: %s" % e)
            return 502, {"error": "agent of host %s did not answer: %s" % (host, e)}
        if status != 200 or not isinstance(answer, dict) or ("result" not in answer and "error" not in answer):
            self._refused(act, "no JSON-RPC answer from the agent")
            return 502, {"error": "agent of host %s gave no JSON-RPC answer (HTTP %d)" % (host, status)}
        out = {"job_act_id": act} if act else {}
        if isinstance(answer.get("error"), dict):
            self._refused(act, answer["error"].get("message", "refused"))
            out["error"] = answer["error"]
        else:
            out["result"] = answer["result"]
        return 200, out

    def _refused(self, act, why):
        if act:
            with self.lock:
                self.store.x("UPDATE job_runs SET state = 'refused', error = ? WHERE job_act_id = ? "
                             "AND state = 'starting'", (why, act))

    @staticmethod
    def _where(params, keys):
        clauses = ["%s = ?" % k for k in keys if params.get(k)]
        args = [params[k] for k in keys if params.get(k)]
        return (" WHERE " + " AND ".join(clauses) if clauses else ""), args

    def runs(self, params):
        where, args = self._where(params, ("definition_id", "job_act_id", "owner"))
        return [dict(r) for r in self.store.q("SELECT * FROM job_runs%s ORDER BY id" % where, args)]

    def events(self, params):
        where, args = self._where(params, ("definition_id", "job_act_id", "event", "owner"))
        rows = self.store.q("SELECT * FROM job_events%s ORDER BY id" % where, args)
        return [dict(r, params=json.loads(r["params"])) for r in rows]

    def alerts(self, params):
        where, args = self._where(params, ("definition_id", "job_act_id", "owner"))
        rows = self.store.q("SELECT * FROM job_alerts%s ORDER BY id" % where, args)
        return [dict(r, parameters=json.loads(r["parameters"])) for r in rows]
