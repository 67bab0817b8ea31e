#!/usr/bin/python3
"""Point-in-time restore jobs run by strovix3-agent with hana-agent-plugin,
driven by the development backupd, against the simulated HANA and the real
hana-backint, from sets that the data backup job and the on-demand log
backup jobs committed: a tenant restored to a time between two log backups
and to the later one (told apart by its SIM_CONTENT rows), the same
tenant restored into another system (USING SOURCE), and the system
database restored to the earlier time."""

import json
import os
import signal
import subprocess
import time
import unittest

import hana_sim
import sandbox_env
from agent_job_env import log_runs_ended, restore_definition, restore_entry, utc_now
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e003", "key-of-the-restore-host"
ABC, PRD = "7e0c0000-0000-4000-8000-0000000000a1", "7e0c0000-0000-4000-8000-0000000000a2"
POOL = "7e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-restore-job-pool"
FULL = "7e0c0000-0000-4000-8000-000000000001"
LOGS = {"T01": "7e0c0000-0000-4000-8000-000000000007", "SYSTEMDB": "7e0c0000-0000-4000-8000-000000000008"}
RESTORE = "7e0c0000-0000-4000-8000-0000000013%02d"  # one definition per restore


def backup_definition(uuid, subtype, entries, **more):
    d = {"id": uuid, "type": 1, "subtype": subtype, "name": "backup %s" % uuid[-2:], "agent": "hana", "uid": "admin",
         "host_id": HOST, "target": {"id": POOL, "location": POOL_DIR}, "source": {"id": ABC, "entries": entries},
         "options": {"compression": "zstd", "compression_level": 3}}
    d.update(more)
    return d


def resource(sid, number):
    return {"instances": [{"name": "%s_HDB%02d" % (sid, number), "uuid": "i-" + sid, "host_uuid": HOST,
                           "extended_attrs": {"sid": sid, "instance_name": "HDB%02d" % number,
                                              "instance_number": number, "multi_container": True}}]}


class Restore_Job_Through_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        hana_sim.install(sid="ABC", instance=0, multi_container=True, tenants=["T01"], password="Manager1")
        hana_sim.install(sid="PRD", instance=1, multi_container=True, tenants=["T01"], password="Manager1")
        os.makedirs(POOL_DIR, exist_ok=True)
        os.chmod(POOL_DIR, 0o777)
        cls.srv = Backupd(workdir=os.path.join(os.environ["TMPDIR"], "backupd"), host_uuid=HOST, access_key=KEY,
                          agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        cls.srv.add_pool(POOL, POOL_DIR)
        cls.srv.add_resource(ABC, resource("ABC", 0))
        cls.srv.add_resource(PRD, resource("PRD", 1))
        cls.srv.add_job_def(FULL, backup_definition(FULL, 1, ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"]), owner=HOST)
        for database, uuid in LOGS.items():
            cls.srv.add_job_def(uuid, backup_definition(uuid, 7, ["hana/HDB00/" + database], schedules=[{"type": 7}]),
                                owner=HOST)
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf["rpc_port"] = 0
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        cls.log = os.path.join(os.environ["TMPDIR"], "agent.log")
        env = dict(os.environ, STROVIX3_BACKOFF_SCALE="0.05")
        with open(cls.log, "w") as log:
            cls.agent = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, env=env)
        cls.wait_until(lambda: HOST in [a["host_uuid"] for a in cls.srv.agents()], "the agent to register")
        for name in ("ABC_HDB00", "PRD_HDB01"):
            r = subprocess.run([AGENT, "account", "set", "hana", name, "SYSTEM"], input="Manager1\n",
                               capture_output=True, text=True, timeout=120)
            assert r.returncode == 0, r.stderr
        cls.make_restorable_sets()

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

    @classmethod
    def run_job(cls, uuid):
        answer = cls.srv.job_command(uuid, "start")
        assert "result" in answer, answer
        act = answer["job_act_id"]
        cls.wait_until(lambda: cls.run_of(act).get("outcome"), "run %s to end" % act, 300)
        return cls.run_of(act)

    @classmethod
    def run_of(cls, act):
        rows = cls.srv.job_runs(job_act_id=act)
        return rows[0] if rows else {}

    @classmethod
    def log_backup(cls):
        for database in LOGS:
            hana_sim.log_backup("ABC", database)
        cls.wait_until(lambda: log_runs_ended(cls.srv, LOGS.values()), "the log backup runs")

    @classmethod
    def make_restorable_sets(cls):
        """A full backup; rows "a", a log backup, the time `between`, rows
        "b", a log backup, the time `after`, rows "c", a log backup: each
        point in time lies between two log backups."""
        assert cls.run_job(FULL)["outcome"] == "success"
        for uuid in LOGS.values():
            assert "result" in cls.srv.job_command(uuid, "setup_ondemand")
        for database in LOGS:
            hana_sim.write("ABC", "a", database)
        cls.log_backup()
        # Timestamps are whole seconds: a second on either side of the point.
        time.sleep(1.1)
        cls.between = utc_now()
        time.sleep(1.1)
        for database in LOGS:
            hana_sim.write("ABC", "b", database)
        cls.log_backup()
        time.sleep(1.1)
        cls.after = utc_now()
        time.sleep(1.1)
        for database in LOGS:
            hana_sim.write("ABC", "c", database)
        cls.log_backup()
        cls.lifeline = {s["database"]: s["lifeline"] for s in cls.srv.backup_sets() if s.get("type") == "full"}

    restores = 0

    def restore(self, target, origin, into, timepoint):
        Restore_Job_Through_Agent_Test.restores += 1
        uuid = RESTORE % self.restores
        self.srv.add_job_def(uuid, restore_definition(uuid, HOST, ABC, "ABC", POOL, target, [
            restore_entry("ABC", origin, into, timepoint, self.lifeline[origin])]), owner=HOST)
        run = self.run_job(uuid)
        with open(self.log) as f:
            self.assertEqual(run["outcome"], "success", (hana_sim.recoveries("ABC" if target == ABC else "PRD"),
                                                         f.read()[-4000:]))

    @staticmethod
    def values(sid, database):
        return [r["value"] for r in hana_sim.content_rows(sid, database)]

    def test_a_tenant_to_a_time_between_log_backups_and_to_the_later_one(self):
        self.restore(ABC, "T01", "T01", self.between)
        self.assertEqual(self.values("ABC", "T01"), ["a"])
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["result"], "successful")
        self.restore(ABC, "T01", "T01", self.after)
        self.assertEqual(self.values("ABC", "T01"), ["a", "b"])

    def test_b_tenant_into_another_system(self):
        self.restore(PRD, "T01", "T01", self.between)
        recovery = hana_sim.recoveries("PRD")[-1]
        self.assertEqual((recovery["source"], recovery["result"]), ("T01@ABC", "successful"))
        self.assertIn("USING SOURCE 'T01@ABC'", recovery["statement"])
        self.assertEqual(self.values("PRD", "T01"), ["a"])

    def test_c_system_database_to_a_time_between_log_backups(self):
        self.restore(ABC, "SYSTEMDB", "SYSTEMDB", self.between)
        self.assertEqual(self.values("ABC", "SYSTEMDB"), ["a"])
        self.assertFalse(os.path.exists("/usr/sap/ABC/HDB00/work/recoverInstance.sql"))
        self.assertTrue(hana_sim.is_running("ABC"))


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
