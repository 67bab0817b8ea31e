#!/usr/bin/python3
"""The on-demand log backup job run by strovix3-agent with hana-agent-plugin
against the simulated HANA, the real hana-backint and the development
backupd: set up for a tenant, HANA's own log and catalog backups go through
hana-backint, whose enqueued starts the server turns into runs of the job,
which commit "log" and "catalog" sets matching HANA's catalog; removed, HANA's
log backups through backint are switched off again."""

import json
import os
import unittest

import hana_sim
import sandbox_env
from agent_job_env import Agent_Job_Env, log_runs_ended

HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e002", "key-of-the-log-host"
RESOURCE = "6e0c0000-0000-4000-8000-0000000000a1"
POOL = "6e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-log-job-pool"
FULL, LOG = "6e0c0000-0000-4000-8000-000000000001", "6e0c0000-0000-4000-8000-000000000007"
ONDEMAND = "/var/opt/corvane/strovix3/agent/hana/log_backup_ABC_HDB00_T01"


class Log_Backup_Job_Through_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        # HANA's state is polled every 10 seconds; shortened here like every back-off.
        cls.env = Agent_Job_Env("ABC", "Manager1", HOST, KEY, RESOURCE, POOL, POOL_DIR, compression="zstd",
                                compression_level=3, agent_env={"STROVIX3_BACKOFF_SCALE": "0.05"})
        cls.srv = cls.env.server
        try:
            cls.env.start()
            cls.env.add_backup_job(FULL, 1, ["hana/HDB00/T01"])
            cls.env.add_log_backup_job(LOG, "T01")
        except BaseException:
            cls.env.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.env.stop()

    def command(self, uuid, name):
        answer = self.srv.job_command(uuid, name)
        self.assertIn("result", answer, answer)
        return answer

    def backup_ini(self):
        return hana_sim.get_ini("ABC", "global.ini").get("backup", {})

    def test_setup_log_backups_recorded_by_runs_then_remove(self):
        self.assertEqual(self.env.run_job(FULL)["outcome"], "success")

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
        self.env.wait_until(lambda: log_runs_ended(self.srv, [LOG], len(ids)), "the log backup runs")
        runs = {r["job_act_id"] for r in self.srv.log_runs(LOG)}
        self.assertEqual([self.env.run_of(a)["outcome"] for a in runs], ["success"] * len(runs))
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
