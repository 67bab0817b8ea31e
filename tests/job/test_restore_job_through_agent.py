#!/usr/bin/python3
"""Point-in-time restore jobs run by strovix3-agent with hana-agent-plugin,
driven by the development backupd, against the simulated HANA and the real
hana-backint, from sets that the data backup job and the on-demand log
backup jobs committed: a tenant restored to a time between two log backups
and to the later one (told apart by its SIM_CONTENT rows), the same
tenant restored into another system (USING SOURCE), the system
database restored to the earlier time, and a time past what HANA's own
catalog reaches refused after the recovery."""

import os
import time
import unittest

import hana_sim
import sandbox_env
from agent_job_env import Agent_Job_Env, restore_definition, restore_entry, utc_now

HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e003", "key-of-the-restore-host"
ABC, PRD = "7e0c0000-0000-4000-8000-0000000000a1", "7e0c0000-0000-4000-8000-0000000000a2"
POOL = "7e0c0000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-restore-job-pool"
FULL = "7e0c0000-0000-4000-8000-000000000001"
LOGS = {"T01": "7e0c0000-0000-4000-8000-000000000007", "SYSTEMDB": "7e0c0000-0000-4000-8000-000000000008"}
RESTORE = "7e0c0000-0000-4000-8000-0000000013%02d"  # one definition per restore


class Restore_Job_Through_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        cls.env = Agent_Job_Env("ABC", "Manager1", HOST, KEY, ABC, POOL, POOL_DIR, compression="zstd",
                                compression_level=3, agent_env={"STROVIX3_BACKOFF_SCALE": "0.05"})
        cls.srv = cls.env.server
        try:
            cls.env.start()
            # The second system, the target of a restore from ABC.
            hana_sim.install(sid="PRD", instance=1, multi_container=True, tenants=["T01"], password="Manager1")
            cls.srv.add_resource(PRD, {"instances": [{
                "name": "PRD_HDB01", "uuid": "i-PRD", "host_uuid": HOST,
                "extended_attrs": {"sid": "PRD", "instance_name": "HDB01", "instance_number": 1,
                                   "multi_container": True}}]})
            cls.env.agent_command("probe")
            cls.env.agent_command("account", "set", "hana", "PRD_HDB01", "SYSTEM", stdin="Manager1\n")
            cls.env.add_backup_job(FULL, 1, ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"])
            for database, uuid in LOGS.items():
                cls.env.add_log_backup_job(uuid, database)
            cls.make_restorable_sets()
        except BaseException:
            cls.env.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.env.stop()

    @classmethod
    def make_restorable_sets(cls):
        """A full backup; rows "a", a log backup, the time `between`, rows
        "b", a log backup, the time `after`, rows "c", a log backup: each
        point in time lies between two log backups."""
        assert cls.env.run_job(FULL)["outcome"] == "success"
        for uuid in LOGS.values():
            cls.env.setup_ondemand(uuid)
        for database in LOGS:
            hana_sim.write("ABC", "a", database)
        cls.env.log_backup(LOGS)
        # Timestamps are whole seconds: a second on either side of the point.
        time.sleep(1.1)
        cls.between = utc_now()
        time.sleep(1.1)
        for database in LOGS:
            hana_sim.write("ABC", "b", database)
        cls.env.log_backup(LOGS)
        time.sleep(1.1)
        cls.after = utc_now()
        time.sleep(1.1)
        for database in LOGS:
            hana_sim.write("ABC", "c", database)
        cls.env.log_backup(LOGS)
        cls.lifeline = {s["database"]: s["lifeline"] for s in cls.srv.backup_sets() if s.get("type") == "full"}

    restores = 0

    def restore(self, target, origin, into, timepoint):
        Restore_Job_Through_Agent_Test.restores += 1
        uuid = RESTORE % self.restores
        self.srv.add_job_def(uuid, restore_definition(uuid, HOST, ABC, "ABC", POOL, target, [
            restore_entry("ABC", origin, into, timepoint, self.lifeline[origin])]), owner=HOST)
        run = self.env.run_job(uuid)
        self.assertEqual(run["outcome"], "success", (hana_sim.recoveries("ABC" if target == ABC else "PRD"),
                                                     self.env.log_tail(4000)))

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

    def test_d_a_time_that_hanas_own_catalog_does_not_reach(self):
        """backupd holds a log backup, and a catalog backup after it, that
        HANA's catalog does not know: the sets reach the time, HANA's recovery
        ends successfully at its own last log backup, and the restore fails
        naming where HANA got to."""
        sets = [dict(s) for s in self.srv.backup_sets() if s.get("database") == "T01" and s.get("owner") == HOST]
        log, catalog = (max((s for s in sets if s["type"] == kind), key=lambda s: s["database_backup_id"])
                        for kind in ("log", "catalog"))
        stamp = lambda seconds: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))  # noqa: E731
        now = int(time.time()) + 5
        volume, _, _, last = log["files"][0]["filename"].split(".")[0].split("_")[2:6]
        name = "log_backup_%s_0_%d_%d.%d" % (volume, int(last) + 1, int(last) + 1025, log["database_backup_id"] + 1)
        for s, uuid, start, backup_id, files in (
                (log, "7e0c0000-0000-4000-8000-0000000019f1", now, log["database_backup_id"] + 1,
                 [dict(log["files"][0], filename=name, extern_backup_id="f" * 32)]),
                (catalog, "7e0c0000-0000-4000-8000-0000000019f2", now + 2, catalog["database_backup_id"] + 2,
                 catalog["files"])):
            s.pop("owner", None)
            s.update(uuid=uuid, start_time=stamp(start), end_time=stamp(start + 1), database_backup_id=backup_id,
                     files=files)
            self.assertEqual(self.srv.request("POST", "/d2/r/v2/sets", s, access_key=KEY)[0], 200)
        Restore_Job_Through_Agent_Test.restores += 1
        uuid = RESTORE % self.restores
        target = stamp(now).replace("T", " ").rstrip("Z")
        self.srv.add_job_def(uuid, restore_definition(uuid, HOST, ABC, "ABC", POOL, ABC, [
            restore_entry("ABC", "T01", "T01", target, self.lifeline["T01"])]), owner=HOST)
        self.assertEqual(self.env.run_job(uuid)["outcome"], "failure")
        recovery = hana_sim.recoveries("ABC")[-1]
        self.assertEqual(recovery["result"], "successful")
        self.assertLess(recovery["reached"], target)
        self.assertIn("HANA recovered 'T01' only to %s UTC, not to the requested %s UTC" % (recovery["reached"], target),
                      self.env.log_tail(20000))


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
