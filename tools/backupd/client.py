"""Start, stop and drive the development backupd from Python tests and demos.

    from backupd.client import Backupd
    with Backupd(agent_conf_dir=d, host_uuid=u, access_key=k) as srv:
        srv.add_pool("p1", url="/srv/pool")
        srv.fault(count=2, status=503, prefix="/d2/r/hana/backint/job")
        ...  # run the program under test against srv.port
        assert [r["method"] for r in srv.requests()] == [...]

The server runs as a child process on a free loopback port, with its SQLite
file and port file in `workdir` (a fresh temporary directory by default,
removed on stop()).
"""

import http.client
import json
import os
import shutil
import signal
import ssl
import subprocess
import tempfile
import time
from urllib.parse import urlencode

HERE = os.path.dirname(os.path.realpath(__file__))
PROGRAM = os.path.join(HERE, "backupd")


class Backupd_Error(Exception):
    pass


def _query(pairs):
    return "?" + urlencode(pairs) if pairs else ""


class Backupd:
    def __init__(self, workdir=None, ssl_cert=None, ssl_key=None, ca_file=None, agent_conf_dir=None,
                 host_uuid=None, access_key=None, db=None, log=None):
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="backupd-")
        self.db = db or os.path.join(self.workdir, "backupd.sqlite")
        self.port_file = os.path.join(self.workdir, "backupd.port")
        self.ssl_cert, self.ssl_key, self.ca_file = ssl_cert, ssl_key, ca_file
        self.agent_conf_dir = agent_conf_dir
        self.host_uuid, self.access_key = host_uuid, access_key
        self.log = log
        self.proc = None
        self.port = None

    # --- life cycle ---------------------------------------------------------
    def start(self, timeout=10.0):
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        cmd = [PROGRAM, "--db", self.db, "--port", "0", "--port-file", self.port_file]
        if self.ssl_cert:
            cmd += ["--ssl-cert", self.ssl_cert, "--ssl-key", self.ssl_key]
        if self.ca_file:
            cmd += ["--ca-file", self.ca_file]
        if self.host_uuid:
            cmd += ["--host-uuid", self.host_uuid, "--access-key", self.access_key]
        if self.agent_conf_dir:
            cmd += ["--agent-conf-dir", self.agent_conf_dir]
        if self.log:
            cmd += ["--log", self.log]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise Backupd_Error("backupd exited with %d" % self.proc.returncode)
            try:
                with open(self.port_file) as f:
                    text = f.read().strip()
                if text:
                    self.port = int(text)
                    return self
            except FileNotFoundError:
                pass
            time.sleep(0.02)
        self.stop()
        raise Backupd_Error("backupd did not start within %.1f s" % timeout)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- HTTP ---------------------------------------------------------------
    def _connection(self):
        if self.ssl_cert:
            ctx = ssl.create_default_context(cafile=self.ca_file or self.ssl_cert)
            ctx.check_hostname = False
            return http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=30)
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)

    def request(self, method, path, body=None, access_key=None):
        """One request; returns (status, parsed JSON or raw text)."""
        conn = self._connection()
        try:
            headers = {}
            data = None
            if body is not None:
                data = body if isinstance(body, (bytes, str)) else json.dumps(body)
                headers["Content-Type"] = "application/json"
            if access_key is not None:
                headers["X-Access-Key"] = access_key
            conn.request(method, path, body=data, headers=headers)
            resp = conn.getresponse()
            raw = resp.read()
            try:
                return resp.status, json.loads(raw) if raw else None
            except ValueError:
                return resp.status, raw.decode("utf-8", "replace")
        finally:
            conn.close()

    def admin(self, method, path, body=None):
        status, obj = self.request(method, "/admin/" + path.lstrip("/"), body)
        if status != 200:
            raise Backupd_Error("%s /admin/%s: %d %s" % (method, path, status, obj))
        return obj

    # --- admin helpers --------------------------------------------------------
    def add_host(self, host_uuid, access_key):
        return self.admin("POST", "hosts", {"host_uuid": host_uuid, "access_key": access_key})

    def add_pool(self, uuid, url, name="", compression="none", compression_level=0, server_side_dedup=False,
                 owner=None):
        return self.admin("POST", "pools", {"uuid": uuid, "name": name or uuid, "url": url,
                                            "compression": compression, "compression_level": compression_level,
                                            "server_side_dedup": server_side_dedup, "owner": owner})

    def add_resource(self, uuid, record, owner=None):
        return self.admin("POST", "resources", {"uuid": uuid, "record": record, "owner": owner})

    def add_set_rows(self, rows, module="hana", view="backupfile", owner=None):
        return self.admin("POST", "sets", {"rows": rows, "module": module, "view": view, "owner": owner})

    def add_job(self, job, host_uuid=None):
        """Seeds a backint job (a dict of job record members) for `host_uuid`
        (default: the host given at construction); returns the stored job."""
        return self.admin("POST", "jobs", {"host_uuid": host_uuid or self.host_uuid, "job": job})

    def add_files(self, job_uuid, files, host_uuid=None):
        """Seeds backint file records (dicts; "extern_backup_id" required)."""
        return self.admin("POST", "files", {"host_uuid": host_uuid or self.host_uuid, "job_uuid": job_uuid,
                                            "files": files})

    def add_job_def(self, uuid, record=None, owner=None):
        """Seeds a job definition served by the JSON-RPC method job.def.list."""
        return self.admin("POST", "jobdefs", {"uuid": uuid, "record": record or {}, "owner": owner})

    def remove_job_def(self, uuid):
        return self.admin("DELETE", "jobdefs?uuid=" + uuid)

    def job_command(self, definition_id, command, options=None):
        """Sends a job command to the agent owning the definition; returns
        {"job_act_id" (start only), "result" or "error"}."""
        return self.admin("POST", "job/command", {"definition_id": definition_id, "command": command,
                                                  "options": options or {}})

    def job_runs(self, **query):
        """Job runs (filters: definition_id, job_act_id, owner)."""
        return self.admin("GET", "job/runs" + _query(query))["rows"]

    def job_events(self, **query):
        """Job events as reported (filters: definition_id, job_act_id, event, owner)."""
        return self.admin("GET", "job/events" + _query(query))["rows"]

    def job_alerts(self, **query):
        """Job alerts as reported (filters: definition_id, job_act_id, owner)."""
        return self.admin("GET", "job/alerts" + _query(query))["rows"]

    def agents(self):
        """Registered agents: [{"host_uuid", "address"}]."""
        return self.admin("GET", "agents")["rows"]

    def add_agent(self, host_uuid, address, endpoint_key="test-endpoint-key"):
        """Records an agent address and endpoint key as agent.register does
        (for a host whose agent is a test double)."""
        return self.admin("POST", "agents", {"host_uuid": host_uuid, "address": address,
                                             "endpoint_key": endpoint_key})

    def rpc(self, method, params=None, access_key=None, rid=1):
        """One JSON-RPC call on /jsonrpc; returns (status, answer object)."""
        body = {"jsonrpc": "2.0", "method": method, "id": rid}
        if params is not None:
            body["params"] = params
        return self.request("POST", "/jsonrpc", body, access_key or self.access_key)

    def requests(self):
        """Every request received outside /admin/, in order: dicts with
        method, path, query (raw), params ([name, value] pairs), body,
        host_uuid (of the key, None when unknown) and status (or "dropped")."""
        return self.admin("GET", "requests")["requests"]

    def clear_requests(self):
        self.admin("DELETE", "requests")

    def fault(self, count=1, status=None, prefix=None, method=None, delay=None, drop=False, body=None):
        """The next `count` matching requests are answered with `status`, or
        dropped (`drop`=True: the answer is cut short; "silent": the
        connection closes without an answer; "after": the request is processed,
        then its answer is lost), after `delay` seconds."""
        rule = {"count": count, "status": status, "prefix": prefix, "method": method, "delay": delay, "drop": drop}
        if body is not None:
            rule["body"] = body
        return self.admin("POST", "faults", rule)

    def clear_faults(self):
        self.admin("DELETE", "faults")

    def jobs(self, host_uuid=None):
        return self.admin("GET", "jobs" + ("?host_uuid=" + host_uuid if host_uuid else ""))["rows"]

    def files(self, host_uuid=None):
        return self.admin("GET", "files" + ("?host_uuid=" + host_uuid if host_uuid else ""))["rows"]

    def enqueues(self, host_uuid=None):
        return self.admin("GET", "enqueues" + ("?host_uuid=" + host_uuid if host_uuid else ""))["rows"]

    def log_runs(self, definition_id=None):
        """Every enqueued log backup start and the run it went into."""
        return self.admin("GET", "log_runs" + ("?definition_id=" + definition_id if definition_id else ""))["rows"]

    def backup_sets(self, host_uuid=None):
        """Committed backup sets as committed, with their "owner"."""
        return self.admin("GET", "backup_sets" + ("?host_uuid=" + host_uuid if host_uuid else ""))["rows"]
