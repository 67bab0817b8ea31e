#!/usr/bin/python3
"""Data backup jobs run by strovix3-agent with hana-agent-plugin, driven by
the development backupd, against the simulated HANA and the real
hana-backint: a full then an incremental job of SYSTEMDB and a tenant with
every committed set checked against HANA's catalog and the pool, a user's
cancel in HANA, and a stop while a backup runs."""

import json
import os
import signal
import subprocess
import time
import unittest

import hana_sim
import sandbox_env
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e001", "key-of-the-job-host"
RESOURCE = "5e0c0000-0000-4000-8000-0000000000a1"
POOL = "5e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-job-pool"
FULL, INCREMENTAL, SLOW = ("5e0c0000-0000-4000-8000-00000000000%d" % i for i in (1, 2, 3))
WORK = "/var/opt/corvane/strovix3/agent"
ENTRIES = ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"]


def definition(uuid, subtype, entries=ENTRIES):
    return {"id": uuid, "type": 1, "subtype": subtype, "name": "job %d" % subtype, "agent": "hana",
            "host_id": HOST, "target": {"id": POOL, "location": POOL_DIR},
            "source": {"id": RESOURCE, "entries": entries},
            "options": {"compression": "zstd", "compression_level": 3}}


class Backup_Job_Through_Agent_Test(unittest.TestCase):
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
        for uuid, subtype in ((FULL, 1), (INCREMENTAL, 2)):
            cls.srv.add_job_def(uuid, definition(uuid, subtype), owner=HOST)
        cls.srv.add_job_def(SLOW, definition(SLOW, 1, ["hana/HDB00/T01"]), owner=HOST)
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf["rpc_port"] = 0
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        cls.log = os.path.join(os.environ["TMPDIR"], "agent.log")
        with open(cls.log, "w") as log:
            cls.agent = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
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

    def run_job(self, uuid, wait=True):
        answer = self.srv.job_command(uuid, "start")
        self.assertIn("result", answer, answer)
        act = answer["job_act_id"]
        if wait:
            self.wait_until(lambda: self.run_of(act).get("outcome"), "run %s to end" % act)
        return act

    @staticmethod
    def backint_calls():
        """What the simulated HANA saw of hana-backint, for failure messages."""
        try:
            with open(sandbox_env.backint_log("ABC")) as f:
                log = f.read()[-3000:]
        except OSError as e:
            log = str(e)
        return [(c.get("exit"), c.get("output")) for c in hana_sim.calls("ABC", "hana-backint")], log

    def run_of(self, act):
        rows = self.srv.job_runs(job_act_id=act)
        return rows[0] if rows else {}

    def sets(self, database):
        return [s for s in self.srv.admin("GET", "backup_sets")["rows"] if s.get("database") == database]

    def check_against_hana(self, s):
        entry = [e for e in hana_sim.backups("ABC", s["database"]) if e["backup_id"] == s["database_backup_id"]]
        self.assertEqual(len(entry), 1, s)
        self.assertEqual(entry[0]["state_name"], "successful")
        # Channels are saved concurrently: the set lists them in the order they ended.
        self.assertEqual(sorted(f["external_backup_id"] for f in entry[0]["files"]),
                         sorted(f["extern_backup_id"] for f in s["files"]))
        for f in s["files"]:
            self.assertTrue(os.path.isfile(os.path.join(POOL_DIR, f["storage_path"])), f)

    def test_a_full_then_incremental_of_two_databases(self):
        full = self.run_job(FULL)
        self.assertEqual(self.run_of(full)["outcome"], "success", self.backint_calls())
        inc = self.run_job(INCREMENTAL)
        self.assertEqual(self.run_of(inc)["outcome"], "success", self.backint_calls())
        for database in ("SYSTEMDB", "T01"):
            f, i = self.sets(database)
            self.assertEqual((f["type"], i["type"]), ("full", "incremental"))
            self.assertEqual((f["job_act_id"], i["job_act_id"]), (full, inc))
            self.assertEqual(f["incarnation"], f["uuid"])
            self.assertEqual((i["incarnation"], i["lifeline"]), (f["uuid"], f["lifeline"]))
            self.check_against_hana(f)
            self.check_against_hana(i)
        progress = [e["params"]["percent"] for e in self.srv.job_events(job_act_id=full, event="progress")]
        self.assertEqual((progress[0], progress[-1]), (1, 100))
        self.assertIn(50, progress)
        self.assertEqual(self.srv.jobs(), [])
        r = subprocess.run([AGENT, "job", "status", FULL], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("100", r.stdout)

    def test_b_cancel_in_hana_and_stop(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"]["data_rate"] = 20000
            st["databases"]["T01"]["volumes"] = [{"volume": 0, "service": "topology"},
                                                 {"volume": 40, "service": "indexserver"}]
        try:
            def running():
                ids = [e["backup_id"] for e in hana_sim.backups("ABC", "T01") if e["state_name"] == "running"]
                return ids[0] if ids else None

            before = len(self.sets("T01"))
            act = self.run_job(SLOW, wait=False)
            self.wait_until(running, "the backup to run")
            hdbsql = "/usr/sap/ABC/HDB00/exe/hdbsql"
            subprocess.run([hdbsql, "-u", "SYSTEM", "-p", "Manager1", "-n", "localhost:30013",
                            "BACKUP CANCEL FOR T01 %d" % running()], check=True, capture_output=True)
            self.wait_until(lambda: self.run_of(act).get("outcome"), "the cancelled run to end")
            self.assertEqual(self.run_of(act)["outcome"], "canceled")

            act = self.run_job(SLOW, wait=False)
            self.wait_until(running, "the backup to run")
            backup_id = running()
            landscape = hana_sim.get_ini("ABC", "nameserver.ini")["landscape"]["id"]
            data_set = os.path.join(POOL_DIR, HOST, landscape, "T01", str(backup_id))
            self.wait_until(lambda: os.path.isdir(data_set), "the data set to be written")
            answer = self.srv.job_command(SLOW, "stop")
            self.assertIn("result", answer, answer)
            self.wait_until(lambda: self.run_of(act).get("outcome"), "the stopped run to end")
            self.assertEqual(self.run_of(act)["outcome"], "canceled")
            self.wait_until(lambda: not os.path.exists(data_set), "the data set to be removed", 60)
            self.assertEqual(len(self.sets("T01")), before)
            self.assertEqual([e["state_name"] for e in hana_sim.backups("ABC", "T01")][-2:], ["canceled", "canceled"])
        finally:
            with hana_sim.update_state("ABC") as st:
                st["backint"].pop("data_rate", None)
                st["databases"]["T01"].pop("volumes", None)


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
