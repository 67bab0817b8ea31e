#!/usr/bin/python3
"""The on-demand log backup job run by strovix3-agent with hana-agent-plugin
against the simulated HANA, the real hana-backint and the development
backupd: set up for a tenant, HANA's own log and catalog backups go through
hana-backint, whose enqueued starts the server turns into runs of the job,
which commit "log" and "catalog" sets matching HANA's catalog; removed, HANA's
log backups through backint are switched off again."""

import json
import os
import signal
import subprocess
import time
import unittest

import hana_sim
import sandbox_env
from agent_job_env import log_runs_ended
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e002", "key-of-the-log-host"
RESOURCE = "6e0c0000-0000-4000-8000-0000000000a1"
POOL = "6e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-log-job-pool"
FULL, LOG = "6e0c0000-0000-4000-8000-000000000001", "6e0c0000-0000-4000-8000-000000000007"
ONDEMAND = "/var/opt/corvane/strovix3/agent/hana/log_backup_ABC_HDB00_T01"


def definition(uuid, subtype, **more):
    d = {"id": uuid, "type": 1, "subtype": subtype, "name": "job %d" % subtype, "agent": "hana", "uid": "admin",
         "host_id": HOST, "target": {"id": POOL, "location": POOL_DIR},
         "source": {"id": RESOURCE, "entries": ["hana/HDB00/T01"]},
         "options": {"compression": "zstd", "compression_level": 3}}
    d.update(more)
    return d


class Log_Backup_Job_Through_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        hana_sim.install(sid="ABC", instance=0, multi_container=True, tenants=["T01"], password="Manager1")
        os.makedirs(POOL_DIR, exist_ok=True)
        os.chmod(POOL_DIR, 0o777)
        cls.srv = Backupd(workdir=os.path.join(os.environ["TMPDIR"], "backupd"), host_uuid=HOST, access_key=KEY,
                          agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        cls.srv.add_pool(POOL, POOL_DIR)
        cls.srv.add_resource(RESOURCE, {"instances": [{
            "name": "ABC_HDB00", "uuid": "i-1", "host_uuid": HOST,
            "extended_attrs": {"sid": "ABC", "instance_name": "HDB00", "instance_number": 0,
                               "multi_container": True}}]})
        cls.srv.add_job_def(FULL, definition(FULL, 1), owner=HOST)
        cls.srv.add_job_def(LOG, definition(LOG, 7, schedules=[{"type": 7}]), owner=HOST)
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf["rpc_port"] = 0
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        cls.log = os.path.join(os.environ["TMPDIR"], "agent.log")
        # HANA's state is polled every 10 seconds; shortened here like every back-off.
        env = dict(os.environ, STROVIX3_BACKOFF_SCALE="0.05")
        with open(cls.log, "w") as log:
            cls.agent = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, env=env)
        cls.wait_until(lambda: HOST in [a["host_uuid"] for a in cls.srv.agents()], "the agent to register")
        r = subprocess.run([AGENT, "account", "set", "hana", "ABC_HDB00", "SYSTEM"], input="Manager1\n",
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        if cls.agent.poll() is None:
            cls.agent.send_signal(signal.SIGTERM)
            cls.agent.wait(60)
        cls.srv.stop()
        hana_sim.uninstall_all()

    @classmethod
    def wait_until(cls, done, what, timeout=180):
        deadline = time.monotonic() + timeout
        while not done():
            if cls.agent.poll() is not None or time.monotonic() > deadline:
                with open(cls.log) as f:
                    raise AssertionError("waited in vain for %s:\n%s" % (what, f.read()[-6000:]))
            time.sleep(0.1)

    def run_of(self, act):
        rows = self.srv.job_runs(job_act_id=act)
        return rows[0] if rows else {}

    def command(self, uuid, name):
        answer = self.srv.job_command(uuid, name)
        self.assertIn("result", answer, answer)
        return answer

    def backup_ini(self):
        return hana_sim.get_ini("ABC", "global.ini").get("backup", {})

    def test_setup_log_backups_recorded_by_runs_then_remove(self):
        act = self.command(FULL, "start")["job_act_id"]
        self.wait_until(lambda: self.run_of(act).get("outcome"), "the full backup")
        self.assertEqual(self.run_of(act)["outcome"], "success")

        self.command(LOG, "setup_ondemand")
        with open(ONDEMAND) as f:
            conf = json.load(f)
        self.assertEqual((conf["job_definition_uuid"], conf["pool_uuid"], conf["location"], conf["compression"]),
                         (LOG, POOL, POOL_DIR, "zstd"))
        self.assertEqual(os.stat(ONDEMAND).st_mode & 0o777, 0o640)
        self.assertEqual((self.backup_ini().get("log_backup_using_backint"),
                          self.backup_ini().get("catalog_backup_using_backint")), ("true", "true"))

        hana_sim.write("ABC", "before the log backup", "T01")
        ids = hana_sim.log_backup("ABC", "T01")
        self.wait_until(lambda: log_runs_ended(self.srv, [LOG], len(ids)), "the log backup runs")
        runs = {r["job_act_id"] for r in self.srv.log_runs(LOG)}
        self.assertEqual([self.run_of(a)["outcome"] for a in runs], ["success"] * len(runs))
        sets = [s for s in self.srv.backup_sets() if s.get("definition_id") == LOG]
        entries = {e["backup_id"]: e for e in hana_sim.backups("ABC", "T01")}
        self.assertEqual(sorted(s["database_backup_id"] for s in sets), sorted(ids))
        self.assertEqual(sorted(s["type"] for s in sets), ["catalog"] + ["log"] * (len(ids) - 1))
        for s in sets:
            entry = entries[s["database_backup_id"]]
            self.assertEqual(entry["state_name"], "successful")
            self.assertEqual(sorted(f["external_backup_id"] for f in entry["files"]),
                             sorted(f["extern_backup_id"] for f in s["files"]))
            for f in s["files"]:
                self.assertTrue(os.path.isfile(os.path.join(POOL_DIR, f["storage_path"])), f)
        # Committed sets leave no backint job record behind.
        self.assertEqual([j for j in self.srv.jobs(HOST) if j["type"] == "log"], [])

        self.command(LOG, "remove")
        self.assertFalse(os.path.exists(ONDEMAND))
        self.assertEqual((self.backup_ini().get("log_backup_using_backint"),
                          self.backup_ini().get("catalog_backup_using_backint")), ("false", "false"))


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
