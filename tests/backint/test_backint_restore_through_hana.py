#!/usr/bin/python3
"""The simulated HANA runs hana-backint for the whole round trip: a data
backup through the agent's job, a tenant recovery from it (HANA checks
every byte it reads from its pipes), with Backint 1.50 and 1.04 and with
bare or quoted EBIDs, then the deletion of the backup from HANA's catalog
with its backint records."""

import os
import shutil
import subprocess
import sys
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402
import hana_sim  # noqa: E402
from test_backint_restore import clear_agent_files, write_restore_conf  # noqa: E402

SID = "HRH"
JOB = "7d6c5b4a39284716a5b4c3d2e1f00a1b"
POOL_DIR = "/var/opt/corvane/test-hana-restore-pool"


class RestoreThroughHana(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        shutil.rmtree(POOL_DIR, ignore_errors=True)
        cls.env.make_pool_dir(POOL_DIR)
        cls.env.write_hana_conf(text="{}")
        write_restore_conf(SID, "T01", {"io_ctl": {"max_seconds_retry": 60}})
        srv = cls.env.backupd
        job = {"uuid": JOB, "host_uuid": bf.HOST_UUID, "job_act_id": JOB, "type": "complete",
               "location": POOL_DIR, "database": "T01", "compression": "", "extended_attrs": {}, "sid": SID,
               "pool_uuid": "", "landscape_id": cls.env.landscape_id(), "database_backup_id": 0,
               "check_exist": False}
        status, answer = srv.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)
        assert status == 200, answer

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()
        clear_agent_files()

    def hdbsql(self, statement):
        return subprocess.run(["/usr/sap/%s/HDB00/exe/hdbsql" % SID, "-u", "SYSTEM", "-p", "Manager1", "-i", "00",
                               "-d", "SYSTEMDB", statement], capture_output=True, text=True, timeout=300,
                              env=dict(os.environ, HANA_SIM_ALLOW_ARGV_PASSWORD="1"))

    def backup(self):
        r = self.hdbsql("BACKUP DATA FOR T01 USING BACKINT('COMPLETE_DATA_BACKUP') TOOLOPTION 'job_uuid=%s;'" % JOB)
        self.assertEqual(r.returncode, 0, r.stderr)
        return [e for e in hana_sim.backups(SID, "T01") if e["entry_type_name"] == "complete data backup"][-1]

    def recover(self, backup_id, software_id, quote_ebid):
        with hana_sim.update_state(SID) as st:
            st["backint"]["software_id"] = software_id
            st["backint"]["quote_ebid"] = quote_ebid
        self.assertEqual(self.hdbsql("ALTER SYSTEM STOP DATABASE T01").returncode, 0)
        r = self.hdbsql("RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG" % backup_id)
        call = hana_sim.calls(SID, "hana-backint")[-1]
        return r, call

    def test_backup_recover_and_delete(self):
        entry = self.backup()
        files = entry["files"]
        ebids = [f["external_backup_id"] for f in files]
        for software_id, quote_ebid in (("1.50", True), ("1.04", False)):
            r, call = self.recover(entry["backup_id"], software_id, quote_ebid)
            self.assertEqual((r.returncode, r.stderr), (0, ""), call)
            self.assertEqual(call["argv"][:4], ["-u", "T01@%s" % SID, "-f", "restore"])
            self.assertEqual(call["exit"], 0)
            self.assertEqual(call["output"][0], '#SOFTWAREID "backint %s" "HANA HDB server %s"'
                             % (software_id, hana_sim.DEFAULT_VERSION))
            self.assertEqual(sorted(call["output"][1:]),
                             sorted('#RESTORED "%s" "%s"' % (f["external_backup_id"], f["destination_path"])
                                    for f in files))
            self.assertEqual(hana_sim.recoveries(SID)[-1]["result"], "successful")
            self.assertTrue(hana_sim.state(SID)["databases"]["T01"]["active"])

        # HANA forgets the backup, and the backint catalog with it.
        r = self.hdbsql("BACKUP CATALOG DELETE FOR T01 BACKUP_ID %d WITH BACKINT" % entry["backup_id"])
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        call = hana_sim.calls(SID, "hana-backint")[-1]
        self.assertEqual(call["argv"][3], "delete")
        self.assertEqual(sorted(call["output"][1:]),
                         sorted('#DELETED "%s" "%s"' % (f["external_backup_id"], f["destination_path"])
                                for f in files))
        remaining = [f["extern_backup_id"] for f in self.env.backupd.files(bf.HOST_UUID)]
        self.assertEqual([e for e in ebids if e in remaining], [])
        self.assertEqual([e for e in hana_sim.backups(SID, "T01") if e["backup_id"] == entry["backup_id"]], [])


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
