#!/usr/bin/python3
"""Point-in-time recoveries of the simulated HANA through the real
hana-backint and the development backupd, told apart by the database's
content: a tenant to a time between two log backups, the system database
through recoverInstance.sql, a tenant from another system; and HANA's own
log backups at intervals."""

import datetime
import json
import os
import subprocess
import sys
import time
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402
import hana_sim  # noqa: E402

POOL = "/var/opt/corvane/test-sim-recovery-pool"
CATALOG_DIR = sb.HANA_WORK_DIR + "/catalog"
LATEST = "2099-01-01 00:00:00"


# The test drives hdbsql as a DBA at a shell would, password and all.
os.environ["HANA_SIM_ALLOW_ARGV_PASSWORD"] = "1"


def next_second():
    """A point in time after everything written so far and before anything
    written next."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    boundary = now.replace(microsecond=0) + datetime.timedelta(seconds=1)
    time.sleep((boundary - now).total_seconds() + 0.01)
    return boundary.strftime("%Y-%m-%d %H:%M:%S")


def enable_backint_logs(sid):
    for key in ("log_backup_using_backint", "catalog_backup_using_backint"):
        hana_sim.set_ini(sid, "global.ini", "backup", key, "true")


class RecoveryThroughHanaBackint(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not os.path.exists(sb.BACKINT):
            self.skipTest("hana-backint is not installed in this build")
        self.env = bf.Backint_Env.setup(sid="ABC", tenants=["T01"])
        self.env.make_pool_dir(POOL)
        self.env.write_hana_conf(POOL)
        enable_backint_logs("ABC")

    def tearDown(self):
        self.env.teardown()
        hana_sim.uninstall_all()

    def sql(self, sid, statement, database="SYSTEMDB"):
        number = hana_sim.state(sid)["instance_number"]
        p = subprocess.run(["/usr/sap/%s/HDB%02d/exe/hdbsql" % (sid, number), "-u", "SYSTEM", "-p", "Manager1",
                            "-i", "%02d" % number, "-d", database, "-a", "-x", statement],
                           capture_output=True, text=True, timeout=300)
        self.assertEqual((p.returncode, p.stderr), (0, ""), statement)
        return p.stdout

    def write(self, sid, database, value):
        self.sql(sid, "INSERT INTO SIM_CONTENT VALUES ('%s')" % value, database)

    def content(self, sid, database):
        return [json.loads(line) for line in self.sql(sid, "select VALUE from SIM_CONTENT order by SEQ",
                                                      database).splitlines()]

    def backup(self, sid, database):
        self.sql(sid, "BACKUP DATA FOR %s USING BACKINT('FULL')" % database)
        return [e for e in hana_sim.backups(sid, database) if e["entry_type_name"] == "complete data backup"][-1]

    def leave_restore_files(self, source, target):
        """What the restore job leaves for hana-backint: the restore
        configuration and the newest catalog backup of the source as the
        catalog that covers the time."""
        src_sid, src_db = source.split("@")
        catalog = [f for e in hana_sim.backups(src_sid, src_db) for f in e["files"]
                   if f["source_type_name"] == "catalog"][-1]
        (record,) = [r for r in self.env.backupd.files(bf.HOST_UUID)
                     if r["extern_backup_id"] == catalog["external_backup_id"]]
        sid, database = target.split("@")
        catalog_conf = {"location": record["location"], "filename": record["storage_path"],
                        "extern_backup_id": record["extern_backup_id"], "source_type": record["source_type"],
                        "pool_uuid": record["pool_uuid"]}
        # The restore job names the system whose backups are read, when it is another.
        ext_conf = {"origin_sid": src_sid} if src_sid != sid else {}
        for name, conf in (("%s@%s-restore-ext-conf" % (sid, database), ext_conf),
                           ("%s@%s-%s@%s" % (src_sid, src_db, sid, database), catalog_conf)):
            os.makedirs(CATALOG_DIR, exist_ok=True)
            os.chown(CATALOG_DIR, 0, sb.SAPSYS_GID)
            os.chmod(CATALOG_DIR, 0o750)
            path = os.path.join(CATALOG_DIR, name)
            with open(path, "w") as f:
                json.dump(conf, f)
            os.chown(path, 0, sb.SAPSYS_GID)
            os.chmod(path, 0o640)

    def recover_tenant(self, source, backup_id, until):
        self.sql("ABC", "ALTER SYSTEM STOP DATABASE T01")
        self.sql("ABC", "RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '%s' CLEAR LOG %sUSING CATALOG BACKINT "
                        "USING BACKUP_ID %d CHECK ACCESS ALL" % (until, source, backup_id))

    def test_tenant_recovers_to_a_time_between_two_log_backups(self):
        self.write("ABC", "T01", "before the backup")
        data = self.backup("ABC", "T01")
        self.write("ABC", "T01", "first")
        hana_sim.log_backup("ABC", "T01")
        # Only the log backup after the point in time holds this row.
        self.write("ABC", "T01", "just before")
        between = next_second()
        self.write("ABC", "T01", "second")
        hana_sim.log_backup("ABC", "T01")
        self.write("ABC", "T01", "in no log backup")
        self.leave_restore_files("ABC@T01", "ABC@T01")

        self.recover_tenant("", data["backup_id"], between)
        self.assertEqual(self.content("ABC", "T01"), ["before the backup", "first", "just before"])
        self.recover_tenant("", data["backup_id"], LATEST)
        self.assertEqual(self.content("ABC", "T01"), ["before the backup", "first", "just before", "second"])
        # The data backup is read in one call, the log backups in the next,
        # one after another.
        data_call, log_call = [c for c in hana_sim.calls("ABC", "hana-backint") if c["statement"] == "restore"][-2:]
        self.assertEqual([len(c["pipes"]) for c in (data_call, log_call)], [2, 2])
        self.assertLessEqual(log_call["pipes"][0]["closed"], log_call["pipes"][1]["opened"])
        self.assertEqual([c["exit"] for c in (data_call, log_call)], [0, 0])

    def test_system_database_recovers_to_a_point_in_time_at_the_instance_start(self):
        self.write("ABC", "SYSTEMDB", "kept")
        data = self.backup("ABC", "SYSTEMDB")
        hana_sim.log_backup("ABC", "SYSTEMDB")
        until = next_second()
        self.write("ABC", "SYSTEMDB", "after the point in time")
        hana_sim.log_backup("ABC", "SYSTEMDB")
        self.leave_restore_files("ABC@SYSTEMDB", "ABC@SYSTEMDB")
        self.assertEqual(hana_sim.hdb("ABC", "stop").returncode, 0)
        sql_file = "/usr/sap/ABC/HDB00/work/recoverInstance.sql"
        with open(sql_file, "w") as f:
            f.write("RECOVER DATABASE UNTIL TIMESTAMP '%s' CLEAR LOG USING CATALOG BACKINT USING BACKUP_ID %d "
                    "CHECK ACCESS ALL" % (until, data["backup_id"]))
        p = hana_sim.hdb("ABC", "start")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertFalse(os.path.exists(sql_file))
        self.assertEqual(self.content("ABC", "SYSTEMDB"), ["kept"])

    def test_tenant_recovers_from_another_system(self):
        hana_sim.install(sid="PRD", instance=1, tenants=["T1"])
        hana_sim.link_backint("PRD")
        enable_backint_logs("PRD")
        self.write("PRD", "T1", "in the data backup")
        data = self.backup("PRD", "T1")
        self.write("PRD", "T1", "in the log backup")
        hana_sim.log_backup("PRD", "T1")
        self.leave_restore_files("PRD@T1", "ABC@T01")
        # The restore job opens the origin's pipe directory to the target's <sid>adm.
        os.chmod("/usr/sap/PRD/SYS/global/hdb/backint/DB_T1", 0o775)
        self.recover_tenant("USING SOURCE 'T1@PRD' ", data["backup_id"], LATEST)
        self.assertEqual(self.content("ABC", "T01"), ["in the data backup", "in the log backup"])

    def test_log_backups_at_intervals_once_switched_on(self):
        # What the on-demand log backup job leaves: its configuration and a running job.
        job_def = "0f9e8d7c-6b5a-4938-8271-605f4e3d2c1b"
        self.env.write_ondemand("", {"location": POOL, "type": "log", "host_uuid": bf.HOST_UUID,
                                     "job_definition_uuid": job_def, "uid": "admin", "pool_uuid": ""})
        self.env.write_job_activity(job_def, 3)
        self.write("ABC", "T01", "logged")
        for section, key, value in (("persistence", "log_mode", "normal"),
                                    ("persistence", "enable_auto_log_backup", "true"),
                                    ("backup", "log_backup_using_backint", "true"),
                                    ("backup", "catalog_backup_using_backint", "true")):
            self.sql("ABC", "ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') SET ('%s', '%s') = '%s' "
                            "WITH RECONFIGURE" % (section, key, value))
        self.sql("ABC", "ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'DATABASE', 'T01') "
                        "SET ('persistence', 'log_backup_timeout_s') = '1'")
        deadline = time.monotonic() + 60
        while len(self.log_backups()) < 2 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.sql("ABC", "ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') "
                        "SET ('backup', 'log_backup_using_backint') = 'false'")
        first, second = self.log_backups()[:2]
        self.assertGreaterEqual(second["started"] - first["started"], datetime.timedelta(seconds=0.9))
        self.assertEqual([r["value"] for r in first["sim_log"]["rows"]], ["logged"])
        calls = [c for c in hana_sim.calls("ABC", "hana-backint") if c["database"] == "T01"]
        self.assertEqual({(c["user"], c["argv"][c["argv"].index("-l") + 1], c["exit"]) for c in calls},
                         {("abcadm", "LOG", 0)})
        # Each of them asked the server to start a run of the on-demand job.
        enqueued = [q for q in self.env.backupd.enqueues(bf.HOST_UUID) if q["backupd_job_uuid"] == job_def]
        self.assertGreaterEqual(len(enqueued), len(calls))

    def log_backups(self):
        """The tenant's log backups that a catalog backup followed."""
        entries = hana_sim.backups("ABC", "T01")
        out = []
        for e, after in zip(entries, entries[1:]):
            if "sim_log" in e and after["files"] and after["files"][0]["source_type_name"] == "catalog":
                out.append(dict(e, started=datetime.datetime.fromisoformat(e["utc_start_time"])))
        return out


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
