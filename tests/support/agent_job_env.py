"""strovix3-agent with hana-agent-plugin, driven by the development backupd,
against the simulated HANA and the real hana-backint: the set-up that the
job tests and the demo share. Runs inside tests/sandbox/run.

    env = Agent_Job_Env(sid="ABC", password="Manager1", host_uuid=H, access_key=K,
                        resource_uuid=R, pool_uuid=P, pool_dir="/var/opt/corvane/pool")
    env.start()          # HANA, backupd with the pool and the resource, the agent, its account
    try:
        env.add_backup_job(J, 1, ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"])
        run = env.wait_run(env.start_job(J))      # the server's record of the run
        env.sets("T01")                           # committed sets, in commit order
        env.add_log_backup_job(L, "T01"); env.setup_ondemand(L)
        env.log_backup({"T01": L})                # HANA's log backup, recorded by runs of L
        env.add_restore_job(R, [restore_entry("ABC", "T01", "T01", timepoint, env.sets("T01")[0]["lifeline"])])
        env.run_job(R)
    finally:
        env.stop()
"""

import datetime
import json
import os
import signal
import subprocess
import time

import hana_sim
import sandbox_env
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
AGENT_WORK_DIR = "/var/opt/corvane/strovix3/agent"


def utc_now():
    """Now as a restore's timepoint: UTC, whole seconds. A point taken between
    two writes needs a second on either side of it."""
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def restore_definition(uuid, host_uuid, source_resource, source_sid, pool_uuid, target, entries):
    """A restore job definition (type 2, subtype 13) from the sets of the
    system `source_sid` (resource `source_resource`) in the pool into the
    resource `target`; `entries` as restore_entry() makes them."""
    return {"id": uuid, "type": 2, "subtype": 13, "name": "restore", "agent": "hana", "uid": "admin",
            "host_id": host_uuid, "target": {"id": target},
            "source": {"id": source_resource, "name": source_sid, "pool_uuid": pool_uuid, "entries": entries},
            "options": {"ignore_delta": False}}


def restore_entry(source_sid, origin, into, timepoint, lifeline):
    """Restores database `origin` of `source_sid` as `into`, to `timepoint`
    (utc_now()'s form), from the sets of `lifeline`."""
    return {"original": {"sid": source_sid, "database": origin},
            "restore_as": {"database": into, "timepoint": timepoint, "lifeline": lifeline}}


def log_runs_ended(server, job_uuids, at_least=1):
    """Whether at least `at_least` log backup starts were enqueued for the
    on-demand jobs `job_uuids` and each went into a run that has ended."""
    starts = [r for uuid in job_uuids for r in server.log_runs(uuid)]
    if len(starts) < at_least or any(r["state"] != "started" for r in starts):
        return False
    return all(any(run.get("state") == "ended" for run in server.job_runs(job_act_id=r["job_act_id"]))
               for r in starts)


class Agent_Job_Env:
    """One multi-container system with its tenants, a file pool, a resource
    naming the system's instance, and the agent serving this host.
    `agent_env`: extra environment of the agent (e.g. STROVIX3_BACKOFF_SCALE)."""

    def __init__(self, sid, password, host_uuid, access_key, resource_uuid, pool_uuid, pool_dir,
                 tenants=("T01",), compression="none", compression_level=0, agent_env=None):
        self.sid, self.password = sid, password
        self.host_uuid, self.access_key = host_uuid, access_key
        self.resource_uuid, self.pool_uuid, self.pool_dir = resource_uuid, pool_uuid, pool_dir
        self.tenants = list(tenants)
        self.compression, self.compression_level = compression, compression_level
        self.agent_env = dict(agent_env or {})
        self.instance_name = "HDB00"
        self.registry_name = "%s_%s" % (sid, self.instance_name)
        scratch = os.environ.get("HANA_SANDBOX_SCRATCH") or os.environ["TMPDIR"]
        self.log = os.path.join(scratch, "strovix3-agent.log")
        self.server = Backupd(workdir=os.path.join(scratch, "backupd"), host_uuid=host_uuid, access_key=access_key,
                              agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        self.agent = None

    # --- life cycle -----------------------------------------------------------
    def start(self):
        hana_sim.install(sid=self.sid, instance=0, multi_container=True, tenants=self.tenants,
                         password=self.password)
        # hana-backint writes the pool as <sid>adm.
        os.makedirs(self.pool_dir, exist_ok=True)
        os.chmod(self.pool_dir, 0o777)
        os.makedirs(self.server.workdir, exist_ok=True)
        self.server.start()
        self.server.add_pool(self.pool_uuid, self.pool_dir, compression=self.compression,
                             compression_level=self.compression_level)
        self.server.add_resource(self.resource_uuid, {"instances": [{
            "name": self.registry_name, "uuid": "i-1", "host_uuid": self.host_uuid,
            "extended_attrs": {"sid": self.sid, "instance_name": self.instance_name, "instance_number": 0,
                               "multi_container": True}}]})
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf["rpc_port"] = 0
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        self.start_agent()
        self.wait_until(lambda: self.host_uuid in [a["host_uuid"] for a in self.server.agents()],
                        "the agent to register")
        return self.agent_command("account", "set", "hana", self.registry_name, "SYSTEM", stdin=self.password + "\n")

    def start_agent(self, log_mode="w"):
        """Starts `strovix3-agent serve` (again: log_mode "a" keeps the log)."""
        env = dict(os.environ)
        env.update(self.agent_env)
        with open(self.log, log_mode) as log:
            self.agent = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=subprocess.STDOUT, env=env)

    def stop(self):
        try:
            if self.agent is not None and self.agent.poll() is None:
                self.agent.send_signal(signal.SIGTERM)
                self.agent.wait(150)
        finally:
            self.server.stop()
            hana_sim.uninstall_all()

    def log_tail(self, size=6000):
        with open(self.log, errors="replace") as f:
            return f.read()[-size:]

    def wait_until(self, done, what, timeout=180):
        """Polls `done` until it answers true; fails with the agent's log when
        the agent died or `timeout` seconds passed. Returns what `done` answered."""
        deadline = time.monotonic() + timeout
        while True:
            value = done()
            if value:
                return value
            if self.agent.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("waited in vain for %s:\n%s" % (what, self.log_tail()))
            time.sleep(0.1)

    def agent_command(self, *args, stdin=None):
        """Runs `strovix3-agent <args>`; its standard output."""
        r = subprocess.run([AGENT] + list(args), input=stdin, capture_output=True, text=True, timeout=120)
        if r.returncode != 0:
            raise AssertionError("strovix3-agent %s failed (%d):\n%s" % (args[0], r.returncode, r.stderr))
        return r.stdout

    # --- jobs -------------------------------------------------------------------
    def backup_definition(self, uuid, subtype, entries, name=None):
        return {"id": uuid, "type": 1, "subtype": subtype, "name": name or "job %d" % subtype, "agent": "hana",
                "host_id": self.host_uuid, "target": {"id": self.pool_uuid, "location": self.pool_dir},
                "source": {"id": self.resource_uuid, "entries": list(entries)},
                "options": {"compression": self.compression or "none", "compression_level": self.compression_level}}

    def add_backup_job(self, uuid, subtype, entries, name=None):
        """A data backup definition (subtype 1 full, 2 incremental, 3 cumulative) of this host."""
        self.server.add_job_def(uuid, self.backup_definition(uuid, subtype, entries, name), owner=self.host_uuid)

    def add_log_backup_job(self, uuid, database, name=None):
        """The on-demand log backup definition (subtype 7) of one database."""
        d = self.backup_definition(uuid, 7, ["hana/%s/%s" % (self.instance_name, database)],
                                   name or "log backup of %s" % database)
        d.update(uid="admin", schedules=[{"type": 7}])
        self.server.add_job_def(uuid, d, owner=self.host_uuid)

    def setup_ondemand(self, uuid):
        """Sets an on-demand job up through the server: HANA's log and
        catalog backups then go through hana-backint."""
        answer = self.server.job_command(uuid, "setup_ondemand")
        if "result" not in answer:
            raise AssertionError("setting %s up: %s" % (uuid, answer))

    def log_backup(self, jobs, timeout=180):
        """Makes HANA back up the logs (and catalog) of each database of
        `jobs` ({database: on-demand job uuid}) through hana-backint, and
        waits until every start hana-backint enqueued went into an ended
        run. Returns {database: HANA's backup ids}."""
        before = sum(len(self.server.log_runs(uuid)) for uuid in jobs.values())
        ids = {database: hana_sim.log_backup(self.sid, database) for database in jobs}
        self.wait_until(lambda: log_runs_ended(self.server, jobs.values(), before + 1),
                        "the log backup runs", timeout)
        return ids

    def add_restore_job(self, uuid, entries):
        """A restore definition of this system into itself; restore_entry() makes `entries`."""
        self.server.add_job_def(uuid, restore_definition(uuid, self.host_uuid, self.resource_uuid, self.sid,
                                                         self.pool_uuid, self.resource_uuid, entries),
                                owner=self.host_uuid)

    def run_job(self, uuid, timeout=300):
        """Starts a job and waits for its outcome; the server's record of the run."""
        return self.wait_run(self.start_job(uuid), timeout)

    def start_job(self, uuid):
        """Starts a job through the server; the run's job_act_id."""
        answer = self.server.job_command(uuid, "start")
        if "result" not in answer:
            raise AssertionError("starting %s: %s" % (uuid, answer))
        return answer["job_act_id"]

    def run_of(self, act):
        rows = self.server.job_runs(job_act_id=act)
        return rows[0] if rows else {}

    def wait_run(self, act, timeout=180):
        """Waits for the run's outcome; the server's record of the run."""
        return self.wait_until(lambda: self.run_of(act) if self.run_of(act).get("outcome") else None,
                               "run %s to end" % act, timeout)

    def sets(self, database):
        """Committed sets of a database, in commit order."""
        return [s for s in self.server.backup_sets() if s.get("database") == database]

    def set_problems(self, backup_set):
        """What is wrong with a committed set against HANA's catalog entry of
        its backup and the pool: a list of texts, empty when nothing is."""
        entries = [e for e in hana_sim.backups(self.sid, backup_set["database"])
                   if e["backup_id"] == backup_set["database_backup_id"]]
        if len(entries) != 1:
            return ["HANA's catalog has %d entries of backup %s" % (len(entries), backup_set["database_backup_id"])]
        problems = []
        if entries[0]["state_name"] != "successful":
            problems.append("HANA's backup is %s" % entries[0]["state_name"])
        # Channels are saved concurrently: the set lists them in the order they ended.
        if sorted(f["external_backup_id"] for f in entries[0]["files"]) != sorted(
                f["extern_backup_id"] for f in backup_set["files"]):
            problems.append("its files are not HANA's")
        problems += ["%s is not in the pool" % f["storage_path"] for f in backup_set["files"]
                     if not os.path.isfile(os.path.join(self.pool_dir, f["storage_path"]))]
        return problems

    # --- HANA -------------------------------------------------------------------
    def running_backup(self, database):
        """The backup ID of the database's running data backup, or None."""
        ids = [e["backup_id"] for e in hana_sim.backups(self.sid, database) if e["state_name"] == "running"]
        return ids[0] if ids else None

    def landscape_id(self):
        return hana_sim.get_ini(self.sid, "nameserver.ini")["landscape"]["id"]

    def data_set_dir(self, database, backup_id):
        """Where hana-backint stores a data backup in the pool."""
        return os.path.join(self.pool_dir, self.host_uuid, self.landscape_id(), database, str(backup_id))
