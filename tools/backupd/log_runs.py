"""Log backup runs of the development backupd: what the server does with
the start that hana-backint enqueues for every log or catalog backup
("/d2/r/hana/backint/job/enqueue", action "start").

Each enqueued backint job UUID waits until the on-demand job definition it
names can run, then goes, together with every other UUID waiting for that
definition, into one start of the job on the agent that owns the definition
(jobs.Jobs.command, so the run is recorded like every other), as the start
option "backint_job_uuids" (a string holding a JSON array). HANA enqueues
its log and catalog backups one after another, and a job runs once at a
time: UUIDs that come while a run is open wait for its end.

- A definition the enqueuing host may not see, or an action other than
  "start", starts nothing (the enqueue itself is still kept).
- A start the server cannot deliver or the agent refuses is tried again
  every RETRY seconds, at most ATTEMPTS times; then its UUIDs are given up
  (state "abandoned", with the last error).
- GET /admin/log_runs lists every enqueued UUID with its definition, the
  run it went into ("job_act_id", empty while waiting) and its state
  ("waiting", "started", "ignored", "abandoned").
"""

import json
import threading
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS log_runs (id INTEGER PRIMARY KEY AUTOINCREMENT, owner TEXT NOT NULL,
  definition_id TEXT NOT NULL, backint_job_uuid TEXT NOT NULL, state TEXT NOT NULL,
  job_act_id TEXT NOT NULL DEFAULT '', attempts INTEGER NOT NULL DEFAULT 0, error TEXT);
"""

GATHER = 0.3     # seconds an enqueue waits for the ones HANA sends right after it
RETRY = 1.0
ATTEMPTS = 120
OPEN_RUN_LIMIT = 3600  # a run that never reported its end stops blocking after this


class Log_Runs:
    """`store`: the server's Store; `jobs`: its jobs.Jobs."""

    def __init__(self, store, jobs):
        self.store = store
        self.jobs = jobs
        self.wake = threading.Condition()
        with store.lock:
            store.db.executescript(SCHEMA)
        threading.Thread(target=self._dispatch, daemon=True).start()

    def enqueued(self, owner, body):
        """Called after an enqueue was accepted and kept."""
        definition_id = body["backupd_job_uuid"]
        visible = self.store.q("SELECT 1 FROM job_defs WHERE uuid = ? AND (owner IS NULL OR owner = ?)",
                               (definition_id, owner))
        state = "waiting" if body["action"] == "start" and visible and body["backint_job_uuid"] else "ignored"
        self.store.x("INSERT INTO log_runs (owner, definition_id, backint_job_uuid, state) VALUES (?, ?, ?, ?)",
                     (owner, definition_id, body["backint_job_uuid"], state))
        with self.wake:
            self.wake.notify()

    def admin(self, method, path, params):
        if path != "/admin/log_runs" or method != "GET":
            return None
        where = " WHERE definition_id = ?" if params.get("definition_id") else ""
        args = (params["definition_id"],) if where else ()
        return 200, {"rows": [dict(r) for r in self.store.q("SELECT * FROM log_runs%s ORDER BY id" % where, args)]}

    # --- the dispatcher ---------------------------------------------------
    def _dispatch(self):
        while True:
            with self.wake:
                while not self._waiting():
                    self.wake.wait()
            time.sleep(GATHER)
            for definition_id in self._waiting():
                self._start(definition_id)
            if self._waiting():
                time.sleep(RETRY)

    def _waiting(self):
        rows = self.store.q("SELECT DISTINCT definition_id FROM log_runs WHERE state = 'waiting' ORDER BY id")
        return [r["definition_id"] for r in rows]

    def _run_open(self, definition_id):
        since = int(time.time()) - OPEN_RUN_LIMIT
        return bool(self.store.q("SELECT 1 FROM job_runs WHERE definition_id = ? AND state IN ('starting', 'running') "
                                 "AND outcome IS NULL AND started >= ?", (definition_id, since)))

    def _start(self, definition_id):
        if self._run_open(definition_id):
            return
        rows = self.store.q("SELECT id, backint_job_uuid, attempts FROM log_runs WHERE definition_id = ? "
                            "AND state = 'waiting' ORDER BY id", (definition_id,))
        ids = [r["id"] for r in rows]
        uuids = [r["backint_job_uuid"] for r in rows]
        status, answer = self.jobs.command({"definition_id": definition_id, "command": "start",
                                            "options": {"backint_job_uuids": json.dumps(uuids)}})
        marks = ",".join("?" * len(ids))
        if status == 200 and "result" in answer:
            self.store.x("UPDATE log_runs SET state = 'started', job_act_id = ?, attempts = attempts + 1 "
                         "WHERE id IN (%s)" % marks, [answer["job_act_id"]] + ids)
            return
        error = json.dumps(answer.get("error"))
        self.store.x("UPDATE log_runs SET attempts = attempts + 1, error = ? WHERE id IN (%s)" % marks, [error] + ids)
        self.store.x("UPDATE log_runs SET state = 'abandoned' WHERE attempts >= ? AND id IN (%s)" % marks,
                     [ATTEMPTS] + ids)
