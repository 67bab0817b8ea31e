#!/usr/bin/python3
"""Data backup jobs run by strovix3-agent with hana-agent-plugin, driven by
the development backupd, against the simulated HANA and the real
hana-backint: a full then an incremental job of SYSTEMDB and a tenant with
every committed set checked against HANA's catalog and the pool, a user's
cancel in HANA, and a stop while a backup runs."""

import os
import subprocess
import unittest

import hana_sim
import sandbox_env
from agent_job_env import Agent_Job_Env

HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e001", "key-of-the-job-host"
RESOURCE = "5e0c0000-0000-4000-8000-0000000000a1"
POOL = "5e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-job-pool"
FULL, INCREMENTAL, SLOW = ("5e0c0000-0000-4000-8000-00000000000%d" % i for i in (1, 2, 3))
ENTRIES = ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"]


class Backup_Job_Through_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        cls.env = Agent_Job_Env(sid="ABC", password="Manager1", host_uuid=HOST, access_key=KEY,
                                resource_uuid=RESOURCE, pool_uuid=POOL, pool_dir=POOL_DIR, compression="zstd",
                                compression_level=3)
        try:
            cls.env.start()
        except BaseException:
            cls.env.stop()
            raise
        cls.srv = cls.env.server
        for uuid, subtype in ((FULL, 1), (INCREMENTAL, 2)):
            cls.env.add_backup_job(uuid, subtype, ENTRIES)
        cls.env.add_backup_job(SLOW, 1, ["hana/HDB00/T01"])

    @classmethod
    def tearDownClass(cls):
        cls.env.stop()

    def run_job(self, uuid, wait=True):
        act = self.env.start_job(uuid)
        if wait:
            self.env.wait_run(act)
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

    def test_a_full_then_incremental_of_two_databases(self):
        full = self.run_job(FULL)
        self.assertEqual(self.env.run_of(full)["outcome"], "success", self.backint_calls())
        inc = self.run_job(INCREMENTAL)
        self.assertEqual(self.env.run_of(inc)["outcome"], "success", self.backint_calls())
        for database in ("SYSTEMDB", "T01"):
            f, i = self.env.sets(database)
            self.assertEqual((f["type"], i["type"]), ("full", "incremental"))
            self.assertEqual((f["job_act_id"], i["job_act_id"]), (full, inc))
            self.assertEqual(f["incarnation"], f["uuid"])
            self.assertEqual((i["incarnation"], i["lifeline"]), (f["uuid"], f["lifeline"]))
            self.assertEqual(self.env.set_problems(f), [])
            self.assertEqual(self.env.set_problems(i), [])
        progress = [e["params"]["percent"] for e in self.srv.job_events(job_act_id=full, event="progress")]
        self.assertEqual((progress[0], progress[-1]), (1, 100))
        self.assertIn(50, progress)
        self.assertEqual(self.srv.jobs(), [])
        self.assertIn("progress=100%", self.env.agent_command("job", "status", FULL))
        # BACKUP statements run for hours: no hdbsql of the jobs showed the
        # password on its command line.
        statements = [c for c in hana_sim.calls("ABC", "hdbsql") if (c["statement"] or "").startswith("BACKUP DATA")]
        self.assertEqual(len(statements), 4)
        for call in statements:
            self.assertEqual((call["argv"][0], call["exit"]), ("-U", 0))
            self.assertNotIn("Manager1", " ".join(call["argv"]))

    def test_b_cancel_in_hana_and_stop(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"]["data_rate"] = 20000
            st["databases"]["T01"]["volumes"] = [{"volume": 0, "service": "topology"},
                                                 {"volume": 40, "service": "indexserver"}]
        try:
            def running():
                return self.env.running_backup("T01")

            before = len(self.env.sets("T01"))
            act = self.run_job(SLOW, wait=False)
            self.env.wait_until(running, "the backup to run")
            hdbsql = "/usr/sap/ABC/HDB00/exe/hdbsql"
            subprocess.run([hdbsql, "-u", "SYSTEM", "-p", "Manager1", "-n", "localhost:30013",
                            "BACKUP CANCEL FOR T01 %d" % running()], check=True, capture_output=True,
                           env=dict(os.environ, HANA_SIM_ALLOW_ARGV_PASSWORD="1"))
            self.env.wait_until(lambda: self.env.run_of(act).get("outcome"), "the cancelled run to end")
            self.assertEqual(self.env.run_of(act)["outcome"], "canceled")

            act = self.run_job(SLOW, wait=False)
            self.env.wait_until(running, "the backup to run")
            backup_id = running()
            data_set = self.env.data_set_dir("T01", backup_id)
            self.env.wait_until(lambda: os.path.isdir(data_set), "the data set to be written")
            answer = self.srv.job_command(SLOW, "stop")
            self.assertIn("result", answer, answer)
            self.env.wait_until(lambda: self.env.run_of(act).get("outcome"), "the stopped run to end")
            self.assertEqual(self.env.run_of(act)["outcome"], "canceled")
            self.env.wait_until(lambda: not os.path.exists(data_set), "the data set to be removed", 60)
            self.assertEqual(len(self.env.sets("T01")), before)
            self.assertEqual([e["state_name"] for e in hana_sim.backups("ABC", "T01")][-2:], ["canceled", "canceled"])
        finally:
            with hana_sim.update_state("ABC") as st:
                st["backint"].pop("data_rate", None)
                st["databases"]["T01"].pop("volumes", None)


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
