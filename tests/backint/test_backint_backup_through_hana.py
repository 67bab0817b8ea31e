#!/usr/bin/python3
"""The simulated HANA itself runs hana-backint: BACKUP DATA through hdbsql
with the agent's job UUID in the tool option, then HANA's own log and
catalog backups. HANA's side checks what it was told (#SAVED sizes, every
pipe read to its end); this side checks the objects and the server's
catalog against the data HANA wrote."""
import os
import shutil
import subprocess
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402
import hana_sim  # noqa: E402
from hana_sim import backup as sim_backup  # noqa: E402

SID = "HXC"
JOB = "3c2b1a0f9e8d47c6b5a4938271605f4e"
JOB_DEF = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d"
POOL_DIR = "/var/opt/corvane/test-hana-pool"


# The test drives hdbsql as a DBA at a shell would, password and all.
os.environ["HANA_SIM_ALLOW_ARGV_PASSWORD"] = "1"


class BackintThroughHana(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        shutil.rmtree(POOL_DIR, ignore_errors=True)
        cls.env.make_pool_dir(POOL_DIR)

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def hdbsql(self, statement):
        return subprocess.run(["/usr/sap/%s/HDB00/exe/hdbsql" % SID, "-u", "SYSTEM", "-p", "Manager1", "-i", "00",
                               "-d", "SYSTEMDB", statement], capture_output=True, text=True, timeout=300)

    def test_data_then_log_and_catalog_backups(self):
        env, srv = self.env, self.env.backupd
        landscape = env.landscape_id()
        job = {"uuid": JOB, "host_uuid": bf.HOST_UUID, "job_act_id": JOB, "type": "complete",
               "location": POOL_DIR, "database": "T01", "compression": "", "extended_attrs": {}, "sid": SID,
               "pool_uuid": "", "landscape_id": landscape, "database_backup_id": 0, "check_exist": False}
        self.assertEqual(srv.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)[0], 200)

        r = self.hdbsql("BACKUP DATA FOR T01 USING BACKINT('COMPLETE_DATA_BACKUP') TOOLOPTION 'job_uuid=%s;'" % JOB)
        self.assertEqual(r.returncode, 0, r.stderr)
        entry = [e for e in hana_sim.backups(SID, "T01") if e["entry_type_name"] == "complete data backup"][-1]
        self.assertEqual(entry["state_name"], "successful")
        files = {f["extern_backup_id"]: f for f in srv.files(bf.HOST_UUID) if f["job_uuid"] == JOB}
        self.assertEqual(len(files), len(entry["files"]))
        for f in entry["files"]:
            record = files[f["external_backup_id"]]
            self.assertEqual((record["origin_path"], record["size"]), (f["destination_path"], f["backup_size"]))
            data = b"".join(sim_backup.generated(f["sim_seed"], f["backup_size"]))
            self.assertEqual(bf.object_data(os.path.join(POOL_DIR, record["storage_path"])), data)
        self.assertEqual([j["database_backup_id"] for j in srv.jobs(bf.HOST_UUID) if j["uuid"] == JOB],
                         [entry["backup_id"]])

        # HANA's own log backups go where the agent's log backup job said.
        env.write_ondemand("", {"location": POOL_DIR, "type": "log", "host_uuid": bf.HOST_UUID,
                                "job_definition_uuid": JOB_DEF, "uid": "u1", "pool_uuid": ""})
        env.write_job_activity(JOB_DEF, 3)
        hana_sim.set_ini(SID, "global.ini", "backup", "log_backup_using_backint", "true")
        hana_sim.set_ini(SID, "global.ini", "backup", "catalog_backup_using_backint", "true")
        srv.clear_requests()
        ids = hana_sim.log_backup(SID, "T01")
        self.assertGreaterEqual(len(ids), 2)  # at least one log volume and the catalog
        log_jobs = [j for j in srv.jobs(bf.HOST_UUID) if j["type"] == "log"]
        self.assertEqual(sorted(j["database_backup_id"] for j in log_jobs), sorted(ids))
        self.assertEqual(len(srv.enqueues(bf.HOST_UUID)), len(ids))
        for j in log_jobs:
            (record,) = [f for f in srv.files(bf.HOST_UUID) if f["job_uuid"] == j["uuid"]]
            self.assertTrue(record["storage_path"].startswith("%s/%s/T01/%d/log_backup_"
                                                              % (bf.HOST_UUID, landscape, j["database_backup_id"])))
            self.assertEqual(bf.object_info(os.path.join(POOL_DIR, record["storage_path"]))[2], record["size"])


class BackintThroughSingleContainerHana(unittest.TestCase):
    def test_backup_without_agent_job_goes_to_the_local_location(self):
        env = bf.Backint_Env.setup(sid="HXS", multi_container=False, tenants=())
        try:
            local = env.make_pool_dir(POOL_DIR + "-local")
            env.write_hana_conf(local)
            r = subprocess.run(["/usr/sap/HXS/HDB00/exe/hdbsql", "-u", "SYSTEM", "-p", "Manager1", "-i", "00",
                                "BACKUP DATA USING BACKINT('COMPLETE_DATA_BACKUP')"],
                               capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, 0, r.stderr)
            (entry,) = hana_sim.backups("HXS", "HXS")
            self.assertEqual(entry["state_name"], "successful")
            (call,) = [c for c in hana_sim.calls("HXS", program="hana-backint")]
            self.assertEqual(call["input"][0][:26], '#SOFTWAREID "backint 1.04"')
            directory = "%s/%s/HXS/%d" % (local, env.landscape_id(), entry["backup_id"])
            self.assertEqual(bf.files_below(directory),
                             sorted(os.path.basename(f["destination_path"]) for f in entry["files"]))
            for f in entry["files"]:
                data = b"".join(sim_backup.generated(f["sim_seed"], f["backup_size"]))
                self.assertEqual(bf.object_data(os.path.join(directory, os.path.basename(f["destination_path"]))),
                                 data)
            (job,) = [j for j in env.backupd.jobs(bf.HOST_UUID) if j["sid"] == "HXS"]
            self.assertEqual((job["database"], job["type"], job["location"]), ("HXS", "complete", local))
        finally:
            env.teardown()


if __name__ == "__main__":
    unittest.main()
