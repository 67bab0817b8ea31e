#!/usr/bin/python3
"""How the simulated HANA drives a backint program: backups, log and catalog
backups, recoveries (tenant and instance start), catalog deletion. A tiny
store-in-a-directory backint stands in for hana-backint here, so that the
simulator's side of the protocol is pinned down on its own; the last case
runs the real hana-backint against the development backupd."""

import json
import os
import subprocess
import sys
import time
import unittest

import hana_sim

SCRATCH = os.environ.get("HANA_SANDBOX_SCRATCH", "/tmp")
STORE = os.path.join(SCRATCH, "backint-store")
FAKE = os.path.join(SCRATCH, "fake-backint")
HDBSQL = "/usr/sap/ABC/HDB00/exe/hdbsql"
# The test drives hdbsql as a DBA at a shell would, password and all.
os.environ["HANA_SIM_ALLOW_ARGV_PASSWORD"] = "1"

# Saves each pipe as STORE/<ebid> (+ .name); restores by EBID or by the
# newest name with the same base name; deletes by EBID. FAKE_MODE in the
# store directory switches on misbehaviour: "short" restores one byte less,
# "fail" exits 1 without output, "slow" waits 30 seconds first, "stubborn"
# ignores SIGTERM and exits 1 after 3 seconds.
FAKE_SOURCE = r'''#!/usr/bin/python3
import getopt, os, re, sys, uuid
STORE = %r
os.umask(0)
opts = dict(getopt.getopt(sys.argv[1:], "u:f:i:o:s:c:l:p:")[0])
mode = open(os.path.join(STORE, "FAKE_MODE")).read().strip() if os.path.exists(os.path.join(STORE, "FAKE_MODE")) else ""
if mode == "stubborn":
    import signal
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
with open(os.path.join(STORE, "ARGS"), "a") as f:
    f.write(" ".join(sys.argv[1:]) + "\n")
if mode == "stubborn":
    import time
    time.sleep(3)
    sys.exit(1)
if mode == "fail":
    sys.exit(1)
if mode == "slow":
    import time
    time.sleep(30)

lines = open(opts["-i"]).read().splitlines()
out = open(opts["-o"], "w")


def tokens(rest):
    return [a if a is not None and a != "" or b is None else b for a, b in re.findall(r'"((?:[^"\\]|\\.)*)"|(\S+)', rest)]
for line in lines:
    kw, _, rest = line.partition(" ")
    t = tokens(rest)
    if kw == "#SOFTWAREID":
        out.write(line + "\n")
    elif kw == "#PIPE":
        ebid = uuid.uuid1().hex
        data = open(t[0], "rb").read()
        open(os.path.join(STORE, ebid), "wb").write(data)
        open(os.path.join(STORE, ebid + ".name"), "w").write(t[0])
        out.write('#SAVED "%%s" "%%s" %%d\n' %% (ebid, t[0], len(data)))
    elif kw in ("#EBID", "#NULL"):
        ebid = t.pop(0) if kw == "#EBID" else None
        name = t[0]
        dest = t[1] if len(t) > 1 else name
        if ebid is None:
            base = os.path.basename(name)
            found = sorted((os.path.getmtime(os.path.join(STORE, n)), n[:-5]) for n in os.listdir(STORE)
                           if n.endswith(".name") and os.path.basename(open(os.path.join(STORE, n)).read()).startswith(base))
            ebid = found[-1][1] if found else None
        if ebid is None or not os.path.exists(os.path.join(STORE, ebid)):
            out.write('#NOTFOUND "%%s"\n' %% name)
            continue
        if opts["-f"] == "inquire":
            out.write('#BACKUP "%%s" "%%s" "2026-01-01T00:00:00.000Z"\n' %% (ebid, name))
            continue
        if opts["-f"] == "delete":
            os.unlink(os.path.join(STORE, ebid))
            out.write('#DELETED "%%s" "%%s"\n' %% (ebid, name))
            continue
        data = open(os.path.join(STORE, ebid), "rb").read()
        if mode == "short":
            data = data[:-1]
        with open(dest, "wb") as f:
            f.write(data)
        out.write('#RESTORED "%%s" "%%s"\n' %% (ebid, name))
out.close()
'''


def sql(statement, database=None):
    argv = [HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-i", "0", "-n", "h1:30013"]
    if database:
        argv[7:7] = ["-d", database]
    p = subprocess.run(argv + [statement], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def enable_backint_logs():
    for key in ("log_backup_using_backint", "catalog_backup_using_backint"):
        hana_sim.set_ini("ABC", "global.ini", "backup", key, "true")


class BackintFlowTest(unittest.TestCase):
    maxDiff = None
    def setUp(self):
        os.makedirs(STORE, exist_ok=True)
        os.chmod(STORE, 0o1777)
        for n in os.listdir(STORE):
            os.unlink(os.path.join(STORE, n))
        with open(FAKE, "w") as f:
            f.write(FAKE_SOURCE % STORE)
        os.chmod(FAKE, 0o755)
        hana_sim.install(sid="ABC", instance=0, host="h1", tenants=["T01"])
        hana_sim.link_backint("ABC", FAKE)

    def tearDown(self):
        hana_sim.uninstall_all()

    def set_mode(self, mode):
        with open(os.path.join(STORE, "FAKE_MODE"), "w") as f:
            f.write(mode)

    def test_data_backup_runs_backint_as_adm_with_hana_arguments(self):
        rc, out, err = sql("BACKUP DATA  FOR T01 USING BACKINT('J1') TOOLOPTION 'job_uuid=J1;'")
        self.assertEqual((rc, err), (0, ""))
        call = hana_sim.calls("ABC", "hana-backint")[0]
        self.assertEqual(call["user"], "abcadm")
        (entry,) = hana_sim.backups("ABC", "T01")
        argv = call["argv"]
        self.assertEqual(argv[:4], ["-u", "T01@ABC", "-f", "backup"])
        self.assertEqual(argv[argv.index("-s") + 1], str(entry["backup_id"]))
        self.assertEqual((argv[argv.index("-c") + 1], argv[argv.index("-l") + 1]), ("2", "COMPLETE"))
        pipe_dir = "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/"
        self.assertEqual(call["input"], ['#SOFTWAREID "backint 1.50" "HANA HDB server %s"' % hana_sim.DEFAULT_VERSION,
                                         '#TOOLOPTION "job_uuid=J1;"',
                                         '#PIPE "%sJ1_databackup_0_1"' % pipe_dir,
                                         '#PIPE "%sJ1_databackup_3_1"' % pipe_dir])
        self.assertEqual(entry["state_name"], "successful")
        self.assertEqual([f["destination_path"] for f in entry["files"]],
                         [pipe_dir + "J1_databackup_0_1", pipe_dir + "J1_databackup_3_1"])
        self.assertTrue(all(len(f["external_backup_id"]) == 32 for f in entry["files"]))
        stored = sum(os.path.getsize(os.path.join(STORE, f["external_backup_id"])) for f in entry["files"])
        self.assertEqual(stored, sum(f["backup_size"] for f in entry["files"]))
        # HANA's own views report it.
        rc, out, _ = sql("select STATE_NAME, SYS_END_TIME from SYS_DATABASES.M_BACKUP_CATALOG where BACKUP_ID=%d"
                         % entry["backup_id"])
        self.assertTrue(out.splitlines()[1].startswith('"successful","'))
        with open("/usr/sap/ABC/HDB00/h1/trace/DB_T01/backup.log") as f:
            self.assertIn("SAVE DATA finished successfully", f.read())

    def test_incremental_needs_a_full_backup_and_names_its_base(self):
        rc, _, err = sql("BACKUP DATA INCREMENTAL FOR T01 USING BACKINT('J2')")
        self.assertEqual(rc, 1)
        self.assertIn("No complete data backup found", err)
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('J3')")[0], 0)
        self.assertEqual(sql("BACKUP DATA INCREMENTAL FOR T01 USING BACKINT('J4')")[0], 0)
        full, inc = hana_sim.backups("ABC", "T01")
        self.assertEqual(inc["entry_type_name"], "incremental data backup")
        self.assertEqual(os.path.basename(inc["files"][1]["destination_path"]),
                         "J4_databackup_incremental_%d_%d_3_1" % (full["backup_id"], inc["backup_id"]))

    def test_failing_backint_fails_the_statement_and_the_catalog_entry(self):
        self.set_mode("fail")
        rc, _, err = sql("BACKUP DATA USING BACKINT('J5')")
        self.assertEqual(rc, 1)
        self.assertIn("* 448: backup could not be completed: [110507] Backint exited with exit code 1", err)
        self.assertEqual(hana_sim.backups("ABC", "SYSTEMDB")[0]["state_name"], "failed")
        # No pipe is left behind, and the statement did not hang on unread pipes.
        self.assertEqual(os.listdir("/usr/sap/ABC/SYS/global/hdb/backint/SYSTEMDB"), [])

    def test_old_protocol_and_unquoted_ebids_on_request(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"].update({"software_id": "1.04", "quote_ebid": False})
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('JB')")[0], 0)
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        entry = hana_sim.backups("ABC", "T01")[0]
        self.assertEqual(sql("RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG" % entry["backup_id"])[0], 0)
        backup_call, _, restore_call = hana_sim.calls("ABC", "hana-backint")
        self.assertTrue(backup_call["input"][0].startswith('#SOFTWAREID "backint 1.04" '))
        self.assertEqual(restore_call["input"][1], '#EBID %s "%s"' % (entry["files"][0]["external_backup_id"],
                                                                      entry["files"][0]["destination_path"]))

    def test_cancel_ends_a_running_backup(self):
        self.set_mode("slow")
        argv = [HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013",
                "BACKUP DATA FOR T01 USING BACKINT('JC') TOOLOPTION 'job_uuid=JC;'"]
        running = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            for _ in range(500):
                entries = hana_sim.backups("ABC", "T01")
                if entries and hana_sim.calls("ABC", "hana-backint") == [] and os.path.exists(os.path.join(STORE, "ARGS")):
                    break
                import time
                time.sleep(0.01)
            backup_id = entries[0]["backup_id"]
            rc, out, _ = sql("select STATE_NAME, BACKUP_SIZE, TRANSFERRED_SIZE from SYS_DATABASES.M_BACKUP_PROGRESS")
            size = sum(f[1] for f in [(0, 65536), (3, 65536 + 3 * 4093)])
            self.assertEqual(out.splitlines()[1], '"running",%d,0' % size)
            rc, out, _ = sql("select STATE_NAME, SYS_END_TIME from SYS_DATABASES.M_BACKUP_CATALOG")
            self.assertEqual(out.splitlines()[1], '"running",?')
            rc, _, err = sql("BACKUP DATA FOR T01 USING BACKINT('JD')")
            self.assertEqual(rc, 1)
            self.assertIn("a data backup of T01 is already running", err)
            self.assertEqual(sql("BACKUP CANCEL FOR T01 %d" % backup_id)[0], 0)
            _, err = running.communicate(timeout=20)
        finally:
            if running.poll() is None:
                running.kill()
        self.assertEqual(running.returncode, 1)
        self.assertIn("Backup was canceled by user", err)
        self.assertEqual(hana_sim.backups("ABC", "T01")[0]["state_name"], "canceled")
        self.assertEqual(sql("BACKUP CANCEL FOR T01 %d" % backup_id)[0], 1)

    def test_backup_goes_on_when_its_hdbsql_is_killed_and_keeps_its_comment(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"]["data_rate"] = 40000
        argv = [HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013",
                "BACKUP DATA FOR T01 USING BACKINT('JK') TOOLOPTION 'job_uuid=JK;' COMMENT 'job_uuid=JK'"]
        client = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_for(lambda: hana_sim.backups("ABC", "T01"))
        client.kill()
        client.wait()
        rc, out, _ = sql("select STATE_NAME, COMMENT from SYS_DATABASES.M_BACKUP_CATALOG")
        self.assertEqual((rc, out.splitlines()[1]), (0, '"running","job_uuid=JK"'))
        self.wait_for(lambda: hana_sim.backups("ABC", "T01")[0]["state_name"] == "successful")

    def wait_for(self, what, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = what()
            if value:
                return value
            time.sleep(0.05)
        self.fail("not seen within %d seconds" % timeout)

    def test_running_backup_shows_files_advancing_progress_and_cancel_pending(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"]["data_rate"] = 40000
        running = subprocess.Popen([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013",
                                    "BACKUP DATA FOR T01 USING BACKINT('JR')"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            total = 65536 + 65536 + 3 * 4093

            def progress():
                rc, out, _ = sql("select BACKUP_ID, STATE_NAME, BACKUP_SIZE, TRANSFERRED_SIZE "
                                 "from SYS_DATABASES.M_BACKUP_PROGRESS")
                row = out.splitlines()[1].split(",") if rc == 0 and len(out.splitlines()) > 2 else None
                return row if row and 0 < int(row[3]) < total else None

            backup_id, state, size, _ = self.wait_for(progress)
            self.assertEqual((state, int(size)), ('"running"', total))
            # The files of the running backup are listed, without EBIDs yet.
            rc, out, _ = sql("select c.STATE_NAME, f.DESTINATION_TYPE_NAME, f.EXTERNAL_BACKUP_ID from "
                             "SYS_DATABASES.M_BACKUP_CATALOG as c join SYS_DATABASES.M_BACKUP_CATALOG_FILES as f "
                             "on c.BACKUP_ID = f.BACKUP_ID where c.BACKUP_ID=%s" % backup_id)
            self.assertEqual(out.splitlines()[1:3], ['"running","backint",?'] * 2)
            self.assertEqual(running.wait(timeout=20), 0)
        finally:
            if running.poll() is None:
                running.kill()
        # A backint that does not end at once keeps the backup "cancel pending".
        os.unlink(os.path.join(STORE, "ARGS"))
        self.set_mode("stubborn")
        running = subprocess.Popen([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013",
                                    "BACKUP DATA FOR T01 USING BACKINT('JS')"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.wait_for(lambda: os.path.exists(os.path.join(STORE, "ARGS")))
            entry = [e for e in hana_sim.backups("ABC", "T01") if e["state_name"] == "running"]
            self.assertEqual(sql("BACKUP CANCEL FOR T01 %d" % entry[0]["backup_id"])[0], 0)
            rc, out, _ = sql("select STATE_NAME, SYS_END_TIME from SYS_DATABASES.M_BACKUP_CATALOG where BACKUP_ID=%d"
                             % entry[0]["backup_id"])
            self.assertEqual(out.splitlines()[1], '"cancel pending",?')
            self.assertEqual(running.wait(timeout=20), 1)
        finally:
            if running.poll() is None:
                running.kill()
        self.assertEqual(hana_sim.backups("ABC", "T01")[-1]["state_name"], "canceled")

    def test_channels_split_volumes_and_announced_sizes_and_a_dying_service_fail_cleanly(self):
        with hana_sim.update_state("ABC") as st:
            st["backint"].update({"channels": 3, "pipe_sizes": "larger"})
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('JK')")[:3:2], (0, ""))
        (entry,) = hana_sim.backups("ABC", "T01")
        pipe_dir = "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/"
        names = [pipe_dir + "JK_databackup_%d_%d" % (v, c) for v in (0, 3) for c in (1, 2, 3)]
        files = entry["files"]
        self.assertEqual([f["destination_path"] for f in files], names)
        self.assertEqual(sum(f["backup_size"] for f in files[3:]), 65536 + 3 * 4093)
        self.assertEqual(hana_sim.calls("ABC", "hana-backint")[-1]["input"][1:],
                         ['#PIPE "%s" %d' % (n, f["backup_size"] * 9 // 8 + 1) for n, f in zip(names, files)])
        # Every channel carries its own data, and a recovery checks each.
        self.assertEqual(len({f["sim_seed"] for f in files}), 6)
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        self.assertEqual(sql("RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG" % entry["backup_id"])[:3:2],
                         (0, ""))

        with hana_sim.update_state("ABC") as st:
            st["backint"]["die_after"] = {"_databackup_3_2$": 1000}
        rc, _, err = sql("BACKUP DATA FOR T01 USING BACKINT('JL')")
        self.assertEqual(rc, 1)
        self.assertIn("* 448: backup could not be completed: [110203] the simulated service stopped writing "
                      "%sJL_databackup_3_2 after 1000 bytes" % pipe_dir, err)
        self.assertEqual(hana_sim.backups("ABC", "T01")[-1]["state_name"], "failed")

        with hana_sim.update_state("ABC") as st:
            st["backint"]["channels"] = 0
        rc, _, err = sql("BACKUP DATA FOR T01 USING BACKINT('JM')")
        self.assertIn("[110096] backint.channels must be a whole number from 1 to 32, not 0", err)
        self.assertEqual(os.listdir(pipe_dir[:-1]), [])

    def test_response_timeout_ends_backint_and_bounds_reads_in_another_order(self):
        self.set_mode("slow")
        with hana_sim.update_state("ABC") as st:
            st["backint"]["response_timeout"] = 1
        started = time.monotonic()
        rc, _, err = sql("BACKUP DATA FOR T01 USING BACKINT('JT')")
        self.assertLess(time.monotonic() - started, 15)
        pipe_dir = "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/"
        self.assertRegex(err, r"^\* 448: backup could not be completed: \[110095\] backint did not open "
                         r"%sJT_databackup_[03]_1 within 1 seconds \(backint_response_timeout\) SQLSTATE: HY000\n$"
                         % pipe_dir)
        call = hana_sim.calls("ABC", "hana-backint")[-1]
        self.assertEqual([(p["opened"], p["bytes"]) for p in call["pipes"]], [(None, 0), (None, 0)])
        self.assertNotEqual(call["exit"], 0)

        self.set_mode("")
        with hana_sim.update_state("ABC") as st:
            st["backint"]["response_timeout"] = None
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('JU')")[0], 0)
        backup_id = hana_sim.backups("ABC", "T01")[-1]["backup_id"]
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        recover = "RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG" % backup_id
        # The fake writes its pipes in input order; read last first, it waits
        # for a reader that never comes until HANA gives up.
        with hana_sim.update_state("ABC") as st:
            st["backint"].update({"restore_order": "reverse", "response_timeout": 2})
        rc, _, err = sql(recover)
        self.assertIn("[110095] backint did not open %sJU_databackup_3_1 within 2 seconds" % pipe_dir, err)
        with hana_sim.update_state("ABC") as st:
            st["backint"]["restore_order"] = "input"
        self.assertEqual(sql(recover)[:3:2], (0, ""))
        pipes = hana_sim.calls("ABC", "hana-backint")[-1]["pipes"]
        self.assertLessEqual(pipes[0]["closed"], pipes[1]["opened"])

    def test_point_in_time_recovery_from_another_system(self):
        hana_sim.install(sid="PRD", instance=1, host="h1", tenants=["T1"])
        hana_sim.link_backint("PRD", FAKE)
        for key in ("log_backup_using_backint", "catalog_backup_using_backint"):
            hana_sim.set_ini("PRD", "global.ini", "backup", key, "true")
        prd = [HDBSQL.replace("ABC/HDB00", "PRD/HDB01"), "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30113"]
        self.assertEqual(subprocess.run(prd + ["BACKUP DATA FOR T1 USING BACKINT('P1')"]).returncode, 0)
        log_ids = hana_sim.log_backup("PRD", "T1")
        data_id = hana_sim.backups("PRD", "T1")[0]["backup_id"]
        until = hana_sim.backups("PRD", "T1")[-1]["utc_end_time"][:19]

        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        recover = ("RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '%s' CLEAR LOG USING SOURCE 'T1@PRD'  "
                   "USING CATALOG BACKINT USING BACKUP_ID %d CHECK ACCESS ALL" % (until, data_id))
        # The source's pipe directory must be open to abcadm, as the restore job leaves it.
        rc, _, err = sql(recover)
        self.assertIn("the source's pipe directory /usr/sap/PRD/SYS/global/hdb/backint/DB_T1 is not writable "
                      "for abcadm", err)
        os.chmod("/usr/sap/PRD/SYS/global/hdb/backint/DB_T1", 0o775)
        rc, _, err = sql(recover)
        self.assertEqual((rc, err), (0, ""))
        catalog_call, inquire_call, data_call, log_call = hana_sim.calls("ABC", "hana-backint")
        self.assertEqual(len(inquire_call["input"]), 4)
        self.assertEqual(catalog_call["input"][1],
                         '#NULL "/usr/sap/PRD/SYS/global/hdb/backint/DB_T1/log_backup_0_0_0_0" '
                         '"/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/log_backup_0_0_0_0"')
        # The data backup's two volumes, then the one log backup before the catalog.
        self.assertEqual(len(data_call["input"]), 3)
        self.assertEqual(len(log_call["input"]), 2)
        self.assertIn("/usr/sap/PRD/SYS/global/hdb/backint/DB_T1/log_backup_3_0_0_1024.%d" % log_ids[0],
                      log_call["input"][1])
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["source"], "T1@PRD")

    def test_missing_link_is_an_sql_error(self):
        os.unlink(hana_sim.backint_link("ABC"))
        rc, _, err = sql("BACKUP DATA USING BACKINT('J6')")
        self.assertEqual(rc, 1)
        self.assertIn("opt/hana-backint does not exist", err)

    def test_tenant_recovery_restores_and_verifies_every_byte(self):
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('J7')")[0], 0)
        backup_id = hana_sim.backups("ABC", "T01")[0]["backup_id"]
        recover = "RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG;" % backup_id
        rc, _, err = sql(recover)
        self.assertEqual(rc, 1)
        self.assertIn("must be stopped", err)
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        rc, _, err = sql(recover)
        self.assertEqual((rc, err), (0, ""))
        inquire, call = hana_sim.calls("ABC", "hana-backint")[-2:]
        self.assertEqual(inquire["argv"][:4], ["-u", "T01@ABC", "-f", "inquire"])
        self.assertEqual(inquire["input"][1:], [l.rsplit(" ", 1)[0] if l.count('"') > 4 else l for l in call["input"][1:]])
        self.assertEqual(call["argv"][:4], ["-u", "T01@ABC", "-f", "restore"])
        self.assertRegex(call["input"][1], r'^#EBID "[0-9a-f]{32}" "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/J7_databackup_0_1"$')
        self.assertTrue(hana_sim.state("ABC")["databases"]["T01"]["active"])
        with open("/usr/sap/ABC/HDB00/h1/trace/DB_T01/backup.log") as f:
            started = [l for l in f if "RECOVER DATA started" in l]
        self.assertRegex(started[0][:25], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$")

        # A backup that backint no longer has stops the recovery before any restore.
        lost = hana_sim.backups("ABC", "T01")[0]["files"][1]["external_backup_id"]
        os.rename(os.path.join(STORE, lost), os.path.join(STORE, "lost"))
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        calls_before = len(hana_sim.calls("ABC", "hana-backint"))
        rc, _, err = sql(recover)
        self.assertEqual(rc, 1)
        self.assertIn("The backup with the external backup id '%s'" % lost, err)
        self.assertEqual([c["statement"] for c in hana_sim.calls("ABC", "hana-backint")[calls_before:]], ["inquire"])
        os.rename(os.path.join(STORE, "lost"), os.path.join(STORE, lost))

        # A backint that hands back one byte less makes the recovery fail.
        self.set_mode("short")
        rc, _, err = sql(recover)
        self.assertEqual(rc, 1)
        self.assertIn("bytes restored", err)
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["result"], "failed")

    def test_recovery_by_prefix_asks_for_file_names(self):
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('JP')")[0], 0)
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        rc, _, err = sql("RECOVER DATA FOR T01 USING BACKINT ('JP') CLEAR LOG;")
        self.assertEqual((rc, err), (0, ""))
        restore = hana_sim.calls("ABC", "hana-backint")[-1]
        self.assertEqual(restore["input"][1:], ['#NULL "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/JP_databackup_0_1"',
                                                '#NULL "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/JP_databackup_3_1"'])

    def test_log_and_catalog_backups_and_recovery_using_catalog_backint(self):
        enable_backint_logs()
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('J8')")[0], 0)
        ids = hana_sim.log_backup("ABC", "T01")
        self.assertEqual(len(ids), 2)
        calls = hana_sim.calls("ABC", "hana-backint")
        # Data backup, its catalog backup, one log volume, the catalog again.
        self.assertEqual([c["argv"][c["argv"].index("-l") + 1] for c in calls], ["COMPLETE", "LOG", "LOG", "LOG"])
        self.assertRegex(calls[2]["input"][1], r'^#PIPE "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/log_backup_3_0_0_1024\.\d+"$')
        self.assertRegex(calls[3]["input"][1], r'^#PIPE ".*/DB_T01/log_backup_0_0_0_0\.%d"$' % ids[1])

        data_id = hana_sim.backups("ABC", "T01")[0]["backup_id"]
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T01")[0], 0)
        rc, _, err = sql("RECOVER DATA FOR T01 USING BACKUP_ID %d USING CATALOG BACKINT CLEAR LOG;" % data_id)
        self.assertEqual((rc, err), (0, ""))
        restore_calls = [c for c in hana_sim.calls("ABC", "hana-backint")[4:] if c["statement"] == "restore"]
        self.assertEqual(restore_calls[0]["input"][1],
                         '#NULL "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/log_backup_0_0_0_0" '
                         '"/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/log_backup_0_0_0_0"')
        self.assertEqual(len(restore_calls[1]["input"]), 3)

    def test_system_database_recovery_through_instance_start(self):
        self.assertEqual(sql("BACKUP DATA USING BACKINT('J9')")[0], 0)
        backup_id = hana_sim.backups("ABC", "SYSTEMDB")[0]["backup_id"]
        self.assertEqual(hana_sim.hdb("ABC", "stop").returncode, 0)
        sql_file = "/usr/sap/ABC/HDB00/work/recoverInstance.sql"
        with open(sql_file, "w") as f:
            f.write("RECOVER DATA USING BACKUP_ID %d CLEAR LOG;" % backup_id)
        p = hana_sim.hdb("ABC", "start")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertFalse(os.path.exists(sql_file))
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["result"], "successful")
        self.assertFalse(hana_sim.state("ABC")["databases"]["T01"]["active"])
        self.assertTrue(hana_sim.is_running("ABC"))

        # A failed recovery keeps the file and leaves the instance stopped.
        self.set_mode("fail")
        hana_sim.hdb("ABC", "stop")
        with open(sql_file, "w") as f:
            f.write("RECOVER DATA USING BACKUP_ID %d CLEAR LOG;" % backup_id)
        p = hana_sim.hdb("ABC", "start")
        self.assertEqual(p.returncode, 1)
        self.assertTrue(os.path.exists(sql_file))
        self.assertFalse(hana_sim.is_running("ABC"))

    def test_single_container_backup_and_recovery(self):
        hana_sim.install(sid="XYZ", instance=2, multi_container=False, host="h1")
        hana_sim.link_backint("XYZ", FAKE)
        xyz = [HDBSQL.replace("ABC/HDB00", "XYZ/HDB02"), "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30215"]
        p = subprocess.run(xyz + ["BACKUP DATA USING BACKINT('S1')"], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        call = hana_sim.calls("XYZ", "hana-backint")[0]
        self.assertEqual(call["argv"][:2], ["-u", "XYZ"])
        self.assertEqual(call["input"][0], '#SOFTWAREID "backint 1.04" "HANA HDB server %s"' % hana_sim.DEFAULT_VERSION)
        self.assertEqual(call["input"][1], '#PIPE "/usr/sap/XYZ/SYS/global/hdb/backint/XYZ/S1_databackup_0_1"')
        backup_id = hana_sim.backups("XYZ", "XYZ")[0]["backup_id"]
        hana_sim.stop("XYZ")
        with open("/usr/sap/XYZ/HDB02/work/recoverInstance.sql", "w") as f:
            f.write("RECOVER DATA USING BACKUP_ID %d CLEAR LOG;" % backup_id)
        p = hana_sim.hdb("XYZ", "start")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertEqual(hana_sim.recoveries("XYZ")[-1]["database"], "XYZ")
        self.assertEqual(subprocess.run(xyz + ["\\s"], capture_output=True).returncode, 0)

    def test_catalog_delete_complete_runs_backint_delete(self):
        self.assertEqual(sql("BACKUP DATA FOR T01 USING BACKINT('JA')")[0], 0)
        entry = hana_sim.backups("ABC", "T01")[0]
        rc, _, err = sql("BACKUP CATALOG DELETE FOR T01 BACKUP_ID %d COMPLETE" % entry["backup_id"])
        self.assertEqual((rc, err), (0, ""))
        call = hana_sim.calls("ABC", "hana-backint")[-1]
        self.assertEqual(call["argv"][:4], ["-u", "T01@ABC", "-f", "delete"])
        self.assertEqual(len(call["output"]), 3)
        self.assertEqual(hana_sim.backups("ABC", "T01"), [])
        self.assertFalse(os.path.exists(os.path.join(STORE, entry["files"][0]["external_backup_id"])))


class RealBackintTest(unittest.TestCase):
    """The simulated HANA with the real hana-backint and the development
    backupd: backup, log and catalog backups, a point-in-time recovery using
    the catalog through backint, and the deletion of the data backup."""

    def setUp(self):
        if not os.path.exists("/opt/corvane/strovix3/bin/hana-backint"):
            self.skipTest("hana-backint is not installed in this build")
        import backint_fixture
        self.bf = backint_fixture
        self.env = backint_fixture.Backint_Env.setup(sid="ABC", tenants=["T01"])
        self.host = hana_sim.state("ABC")["host"]
        backint_fixture.Backint_Env.make_pool_dir("/srv/local")
        self.env.write_hana_conf("/srv/local")
        for key in ("log_backup_using_backint", "catalog_backup_using_backint"):
            hana_sim.set_ini("ABC", "global.ini", "backup", key, "true")

    def tearDown(self):
        self.env.teardown()

    def sql(self, statement):
        p = subprocess.run([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", self.host + ":30013", statement],
                           capture_output=True, text=True)
        return p.returncode, p.stderr

    def agent_file(self, name, content):
        # What the restore job leaves for hana-backint (group sapsys).
        directory = "/var/opt/corvane/strovix3/agent/hana/catalog"
        os.makedirs(directory, exist_ok=True)
        os.chown(directory, 0, 79)
        os.chmod(directory, 0o750)
        path = os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(json.dumps(content))
        os.chown(path, 0, 79)
        os.chmod(path, 0o640)

    def test_round_trip_through_hana_backint(self):
        self.assertEqual(self.sql("BACKUP DATA FOR T01 USING BACKINT('FULL1')"), (0, ""))
        hana_sim.log_backup("ABC", "T01")
        data, log, catalog_after_data, catalog = hana_sim.backups("ABC", "T01")
        self.assertEqual([e["state_name"] for e in (data, log, catalog_after_data, catalog)], ["successful"] * 4)

        # The catalog comes back from where hana-backint stored it.
        saved = [c for c in hana_sim.calls("ABC", "hana-backint") if c["argv"][c["argv"].index("-s") + 1]
                 == str(catalog["backup_id"])][0]["output"]
        location = [l for l in saved if l.startswith("#DEBUG Backup HANA data to ")][0].split(" to ", 1)[1]
        self.agent_file("ABC@T01-restore-ext-conf", {})
        self.agent_file("ABC@T01-ABC@T01", {
            "location": location, "filename": "log_backup_0_0_0_0.%d" % catalog["backup_id"],
            "extern_backup_id": catalog["files"][0]["external_backup_id"], "source_type": "pipe",
            "pool_uuid": ""})

        self.assertEqual(self.sql("ALTER SYSTEM STOP DATABASE T01"), (0, ""))
        rc, err = self.sql("RECOVER DATABASE FOR T01 UNTIL TIMESTAMP '2099-01-01 00:00:00' CLEAR LOG "
                           "USING CATALOG BACKINT USING BACKUP_ID %d CHECK ACCESS ALL" % data["backup_id"])
        self.assertEqual((rc, err), (0, ""))
        restores = [c for c in hana_sim.calls("ABC", "hana-backint") if c["statement"] == "restore"][-2:]
        self.assertEqual([len([l for l in c["output"] if l.startswith("#RESTORED")]) for c in restores], [2, 1])
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["result"], "successful")

        rc, err = self.sql("BACKUP CATALOG DELETE FOR T01 BACKUP_ID %d COMPLETE" % data["backup_id"])
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(len([l for l in hana_sim.calls("ABC", "hana-backint")[-1]["output"]
                              if l.startswith("#DELETED")]), 2)

    def test_system_database_recovery_at_instance_start_runs_hana_backint_as_adm(self):
        self.assertEqual(self.sql("BACKUP DATA USING BACKINT('SYS1')"), (0, ""))
        backup_id = hana_sim.backups("ABC", "SYSTEMDB")[0]["backup_id"]
        self.agent_file("ABC@SYSTEMDB-restore-ext-conf", {})
        self.assertEqual(hana_sim.hdb("ABC", "stop").returncode, 0)
        with open("/usr/sap/ABC/HDB00/work/recoverInstance.sql", "w") as f:
            f.write("RECOVER DATA USING BACKUP_ID %d CLEAR LOG;" % backup_id)
        p = hana_sim.hdb("ABC", "start")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        inquire, restore = hana_sim.calls("ABC", "hana-backint")[-2:]
        self.assertEqual((inquire["statement"], inquire["user"], inquire["exit"]), ("inquire", "abcadm", 0))
        self.assertEqual((restore["statement"], restore["exit"]), ("restore", 0))
        self.assertEqual(hana_sim.recoveries("ABC")[-1]["result"], "successful")


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
