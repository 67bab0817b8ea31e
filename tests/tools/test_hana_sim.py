#!/usr/bin/python3
"""The HANA simulator itself: layout, hdbsql's answers and errors, instance
start and stop, the call log. The C++ tests exercise it further."""

import grp
import os
import pwd
import socket
import subprocess
import sys
import unittest

import hana_sim

CLI = os.path.join(os.environ.get("HANA_SOURCE_DIR", ""), "tools", "hana_sim", "hana-sim")
HDBSQL = "/usr/sap/ABC/HDB00/exe/hdbsql"


# The test drives hdbsql as a DBA at a shell would, password and all.
os.environ["HANA_SIM_ALLOW_ARGV_PASSWORD"] = "1"


def run(argv, user=None):
    if user:
        argv = ["setpriv", "--reuid=" + user, "--regid=sapsys", "--init-groups"] + argv
    p = subprocess.run(argv, capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def listening(port):
    s = socket.socket()
    try:
        s.connect(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def sql(statement, password="Manager1", port=30013, database=None):
    argv = [HDBSQL, "-u", "SYSTEM", "-p", password, "-i", "0"]
    if database:
        argv += ["-d", database]
    return run(argv + ["-n", "h1:%d" % port, statement])


class MultiContainerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        hana_sim.install(sid="ABC", instance=0, tenants=["T01", {"name": "T02", "active": False}],
                         hosts=["h1", {"name": "h2", "role": "standby"}], replication="primary")

    @classmethod
    def tearDownClass(cls):
        hana_sim.uninstall("ABC")

    def setUp(self):
        hana_sim.clear_calls("ABC")

    def test_layout_and_start_service(self):
        with open("/usr/sap/sapservices") as f:
            self.assertIn("/usr/sap/ABC/HDB00/exe/sapstartsrv pf=/usr/sap/ABC/SYS/profile/ABC_HDB00_h1 -D -u abcadm",
                          f.read())
        self.assertTrue(os.path.isfile("/usr/sap/ABC/SYS/profile/ABC_HDB00_h1"))
        self.assertEqual(pwd.getpwnam("abcadm").pw_dir, "/usr/sap/ABC/home")
        self.assertIn("abcadm", grp.getgrnam("sapsys").gr_mem)
        ns = hana_sim.get_ini("ABC", "nameserver.ini")["landscape"]
        self.assertEqual((ns["worker"], ns["standby"], ns["active_master"]), ("h1", "h2", "h1:30001"))
        gl = hana_sim.get_ini("ABC", "global.ini")
        self.assertEqual(gl["multidb"]["mode"], "multidb")
        self.assertEqual(gl["system_replication"]["actual_mode"], "primary")

        pid = hana_sim.state("ABC")["service_pids"][0]
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            self.assertEqual(f.read().split(b"\0")[0], b"/usr/sap/ABC/HDB00/exe/sapstartsrv")
        with open("/proc/%d/environ" % pid, "rb") as f:
            env = dict(e.split(b"=", 1) for e in f.read().split(b"\0") if e)
        self.assertEqual(env[b"SAPSYSTEMNAME"], b"ABC")
        self.assertEqual(env[b"DIR_INSTANCE"], b"/usr/sap/ABC/HDB00")
        self.assertEqual(env[b"HOSTNAME"], b"h1")
        self.assertEqual(os.stat("/proc/%d" % pid).st_uid, pwd.getpwnam("abcadm").pw_uid)

    def test_default_output_format(self):
        rc, out, err = sql("select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES")
        self.assertEqual((rc, err), (0, ""))
        lines = out.splitlines()
        self.assertEqual(lines[:4], ['DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS',
                                     '"SYSTEMDB","SystemDB-ABC-00","YES"', '"T01","","YES"', '"T02","","NO"'])
        self.assertTrue(lines[4].startswith("3 rows selected"))

        rc, out, _ = sql("select DATABASE_NAME from M_DATABASES where DATABASE_NAME = 'T09'")
        self.assertEqual(out.splitlines()[:2], ["DATABASE_NAME", "0 rows selected (overall time 1.234 msec; server time 0.321 msec)"])

    def test_errors_go_to_stderr_with_nonzero_exit(self):
        self.assertEqual(sql("\\s", password="wrong"), (1, "", "* 10: authentication failed SQLSTATE: 28000\n"))
        rc, out, err = sql("select * from NOPE")
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("* 259: invalid table name", err)
        rc, _, err = sql("DROP TABLE X")
        self.assertEqual(rc, 1)
        self.assertIn("* 257: sql syntax error", err)
        rc, _, err = run([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-Q", "\\s"])
        self.assertEqual((rc, err.splitlines()[0]), (1, "Unknown option: -Q"))
        # An inactive tenant cannot be reached.
        rc, _, err = sql("\\s", database="T02")
        self.assertEqual(rc, 1)
        self.assertIn("not online", err)

    def test_output_options_script_file_and_user_store_key(self):
        script = os.path.join(os.environ.get("TMPDIR", "/tmp"), "statements.sql")
        with open(script, "w") as f:
            f.write("select DATABASE_NAME from M_DATABASES where DATABASE_NAME = 'T01';\n"
                    "select SCHEMA_NAME from SCHEMAS where SCHEMA_NAME = 'SYS';\n")
        rc, out, _ = run([HDBSQL, "-j", "-a", "-x", "-C", "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013",
                          "-I", script])
        self.assertEqual((rc, out), (0, '"T01"\n"SYS"\n'))
        result = os.path.join(os.environ.get("TMPDIR", "/tmp"), "result.txt")
        rc, out, _ = run([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30013", "-F", ";", "-g", "NULL",
                          "-o", result, "select STATE_NAME, BACKUP_SIZE from M_BACKUP_PROGRESS"])
        self.assertEqual((rc, out), (0, ""))
        with open(result) as f:
            self.assertEqual(f.read().splitlines()[0], "STATE_NAME;BACKUP_SIZE")
        with hana_sim.update_state("ABC") as st:
            st["userstore"]["BACKUP"] = {"env": "h1:30013", "user": "SYSTEM", "password": "Manager1"}
        rc, out, _ = run([HDBSQL, "-U", "BACKUP", "-a", "-x", "select DATABASE_NAME from M_DATABASES"])
        self.assertEqual(out.splitlines()[0], '"SYSTEMDB"')
        self.assertEqual(hana_sim.calls("ABC")[-1]["db_user"], "SYSTEM")
        self.assertEqual(run([HDBSQL, "-U", "NOKEY", "\\s"])[0], 1)

    def test_user_store_of_the_effective_user_and_no_password_in_argv(self):
        store = HDBSQL.replace("hdbsql", "hdbuserstore")
        entry = [store, "-i", "SET", "AdmKey", "h1:30013@T01", "SYSTEM"]
        p = subprocess.run(["setpriv", "--reuid=abcadm", "--regid=sapsys", "--init-groups"] + entry,
                           input="Manager1\n", capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stderr), (0, "Password: "))
        path = "/usr/sap/ABC/home/.hdb/%s/SSFS_HDB.DAT" % socket.gethostname()
        self.assertEqual((os.stat(path).st_mode & 0o777, pwd.getpwuid(os.stat(path).st_uid).pw_name),
                         (0o600, "abcadm"))
        rc, out, _ = run([store, "LIST"], user="abcadm")
        self.assertIn("KEY ADMKEY\n  ENV : h1:30013\n  USER: SYSTEM\n  DATABASE: T01", out)
        self.assertNotIn("Manager1", out)
        rc, out, _ = run([HDBSQL, "-U", "ADMKEY", "-a", "-x", "select DATABASE_NAME from M_DATABASES"], user="abcadm")
        self.assertEqual((rc, out), (0, '"T01"\n'))
        self.assertEqual(run([HDBSQL, "-U", "ADMKEY", "\\s"])[0], 1)  # root's store has no such key
        self.assertEqual(run([store, "SET", "K", "h1:30013", "SYSTEM"])[0], 1)  # no password, no -i
        # Without the DBA's permission a password on the command line fails.
        env = dict(os.environ)
        del env["HANA_SIM_ALLOW_ARGV_PASSWORD"]
        for argv in ([HDBSQL, "-u", "SYSTEM", "-p", "Manager1", "\\s"], [store, "SET", "K", "h1:30013", "SYSTEM", "pw"]):
            p = subprocess.run(argv, capture_output=True, text=True, env=env)
            self.assertEqual(p.returncode, 1)
            self.assertIn("on the command line refused", p.stderr)
        self.assertEqual(hana_sim.calls("ABC", "hdbuserstore")[-1]["argv"], ["SET", "K", "h1:30013", "SYSTEM", "***"])

    def test_call_log_hides_password_and_keeps_order(self):
        sql("\\s")
        sql("\\s", password="wrong")
        calls = hana_sim.calls("ABC")
        self.assertEqual([c["exit"] for c in calls], [0, 1])
        for c in calls:
            self.assertNotIn("Manager1", str(c))
            self.assertNotIn("wrong", str(c))
            self.assertEqual(c["argv"][:4], ["-u", "SYSTEM", "-p", "***"])
        rc, out, _ = run([CLI, "calls", "ABC", "--field", "statement"])
        self.assertEqual(out, "\\s\n\\s\n")

    def test_configuration_round_trip(self):
        query = "SELECT VALUE from M_INIFILE_CONTENTS where key = 'log_mode' and LAYER_NAME = 'SYSTEM'"
        self.assertEqual(sql(query)[1].splitlines()[1][:6], "0 rows")
        alter = ("ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') SET ('persistence', 'log_mode')"
                 " = 'overwrite' WITH RECONFIGURE")
        self.assertEqual(sql(alter)[0], 0)
        self.assertEqual(sql(query)[1].splitlines()[1], '"overwrite"')
        self.assertEqual(hana_sim.get_ini("ABC", "global.ini")["persistence"]["log_mode"], "overwrite")
        # The replication and multidb sections survive the rewrite.
        self.assertEqual(hana_sim.get_ini("ABC", "global.ini")["multidb"]["mode"], "multidb")
        self.assertEqual(sql(alter.replace("'SYSTEM'", "'SYSTEM'", 1), database="T01")[0], 1)

    def test_tenant_start_stop_follows_port(self):
        t02 = hana_sim.state("ABC")["databases"]["T02"]["sql_port"]
        self.assertFalse(listening(t02))
        self.assertEqual(sql("ALTER SYSTEM START DATABASE T02")[0], 0)
        self.assertTrue(listening(t02))
        self.assertEqual(sql("\\s", port=t02)[0], 0)
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T02")[0], 0)
        self.assertFalse(listening(t02))
        self.assertEqual(sql("ALTER SYSTEM STOP DATABASE T02")[0], 1)

    def test_hdb_as_adm_user_stops_and_starts(self):
        self.assertEqual(hana_sim.hdb("ABC", "stop").returncode, 0)
        self.assertFalse(listening(30013))
        self.assertEqual(sql("\\s")[0], 1)
        self.assertEqual(hana_sim.hdb("ABC", "start").returncode, 0)
        self.assertTrue(listening(30013))
        out = hana_sim.hdb("ABC", "version").stdout
        self.assertIn("  version:             %s" % hana_sim.DEFAULT_VERSION, out)
        self.assertEqual(hana_sim.hdb("ABC", "bounce").returncode, 1)
        calls = hana_sim.calls("ABC", "HDB")
        self.assertEqual([(c["statement"], c["user"], c["euid"]) for c in calls],
                         [("stop", "abcadm", pwd.getpwnam("abcadm").pw_uid),
                          ("start", "abcadm", pwd.getpwnam("abcadm").pw_uid),
                          ("version", "abcadm", pwd.getpwnam("abcadm").pw_uid),
                          ("bounce", "abcadm", pwd.getpwnam("abcadm").pw_uid)])

    def test_hdb_refuses_anything_but_a_login_of_the_adm_user(self):
        rc, _, err = run(["/usr/sap/ABC/HDB00/HDB", "stop"], user="abcadm")  # root's HOME, USER, cwd
        self.assertEqual((rc, err[:13]), (1, "HDB: HOME is "))
        rc, _, err = run(["/usr/sap/ABC/HDB00/HDB", "stop"])
        self.assertEqual((rc, err), (1, "HDB: must be run as abcadm, not root\n"))
        self.assertTrue(listening(30013))

    def test_injected_fault_applies_once(self):
        hana_sim.add_fault("ABC", "hdbsql", match="M_BACKUP_PROGRESS",
                           stderr="* 448: Backup was canceled by user SQLSTATE: HY000", times=1)
        q = "select BACKUP_SIZE from SYS_DATABASES.M_BACKUP_PROGRESS"
        self.assertEqual(sql(q), (1, "", "* 448: Backup was canceled by user SQLSTATE: HY000\n"))
        self.assertEqual(sql(q)[0], 0)
        self.assertEqual(sql("\\s")[0], 0)

    def test_catalog_join_query(self):
        hana_sim.add_backup("ABC", "T01", files=[{"backup_size": 10}])
        old = hana_sim.add_backup("ABC", "SYSTEMDB", files=[{"backup_size": 10}])
        newest = hana_sim.add_backup("ABC", "T01", files=[{"backup_size": 10}])
        hana_sim.add_backup("ABC", "T01", state_name="failed", files=[{"backup_size": 10}])
        q = ("select c.BACKUP_ID as BACKUP_ID from SYS_DATABASES.M_BACKUP_CATALOG as c join "
             "SYS_DATABASES.M_BACKUP_CATALOG_FILES as f on c.BACKUP_ID = f.BACKUP_ID where "
             "lower(ENTRY_TYPE_NAME)='complete data backup' and lower(DESTINATION_TYPE_NAME)='backint'  "
             "and STATE_NAME='successful' %s order by c.BACKUP_ID desc limit 1")
        self.assertEqual(sql(q % "and c.DATABASE_NAME='T01'")[1].splitlines()[:2], ["BACKUP_ID", str(newest)])
        self.assertEqual(sql(q % "and c.DATABASE_NAME='SYSTEMDB'")[1].splitlines()[:2], ["BACKUP_ID", str(old)])
        rc, out, _ = sql("select STATE_NAME, SYS_END_TIME from SYS_DATABASES.M_BACKUP_CATALOG where BACKUP_ID=%d"
                         % newest)
        self.assertRegex(out.splitlines()[1], r'^"successful","\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+"$')


class SingleContainerTest(unittest.TestCase):
    def tearDown(self):
        hana_sim.uninstall_all()

    def test_single_container_port_and_database(self):
        hana_sim.install(sid="XYZ", instance=2, multi_container=False, host="h1")
        exe = "/usr/sap/XYZ/HDB02/exe/hdbsql"
        rc, out, _ = run([exe, "-u", "SYSTEM", "-p", "Manager1", "-i", "2", "-n", "h1:30215",
                          "select DATABASE_NAME,DESCRIPTION,ACTIVE_STATUS from M_DATABASES"])
        self.assertEqual(out.splitlines()[1], '"XYZ","","YES"')
        self.assertFalse(listening(30213))
        self.assertEqual(hana_sim.get_ini("XYZ", "global.ini"), {"multidb": {"mode": "singledb"}})
        rc, _, err = run([exe, "-u", "SYSTEM", "-p", "Manager1", "-n", "h1:30215",
                          "select * from SYS_DATABASES.M_BACKUP_CATALOG"])
        self.assertEqual(rc, 1)
        self.assertIn("invalid schema name", err)

    def test_cli_install_stopped_and_uninstall(self):
        self.assertEqual(run([CLI, "install", "QAS", "--instance", "7", "--single", "--stopped", "--host", "h9"])[0], 0)
        self.assertEqual(run([CLI, "status", "QAS"])[1], "stopped\n")
        self.assertFalse(listening(30715))
        self.assertEqual(run([CLI, "start", "QAS"])[0], 0)
        self.assertTrue(listening(30715))
        self.assertEqual(run([CLI, "state", "QAS", "--get", "instance_name"])[1], "HDB07\n")
        rc, _, err = run([CLI, "install", "QAT", "--instance", "7"])
        self.assertEqual((rc, err), (1, "hana-sim: instance number 07 is already used by QAS\n"))
        self.assertEqual(run([CLI, "uninstall", "QAS"])[0], 0)
        self.assertFalse(listening(30715))
        self.assertFalse(os.path.exists("/usr/sap/QAS"))
        self.assertFalse(os.path.exists("/usr/sap/sapservices"))
        self.assertRaises(KeyError, pwd.getpwnam, "qasadm")
        self.assertNotIn("qasadm", grp.getgrnam("sapsys").gr_mem)


class TwoSystemsTest(unittest.TestCase):
    def tearDown(self):
        hana_sim.uninstall_all()

    def test_systems_side_by_side_and_removal_of_one(self):
        hana_sim.install(sid="ABC", instance=0, host="h1", tenants=["T01"])
        hana_sim.install(sid="XYZ", instance=2, multi_container=False, host="h1")
        with open("/usr/sap/sapservices") as f:
            self.assertEqual(len([l for l in f if "sapstartsrv pf=" in l]), 2)
        self.assertTrue(listening(30013) and listening(30215))
        hana_sim.uninstall("ABC")
        with open("/usr/sap/sapservices") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "#!/bin/sh")
        self.assertEqual([l for l in lines[1:]], [l for l in lines[1:] if "/usr/sap/XYZ/" in l])
        self.assertEqual(len(lines), 2)
        self.assertFalse(listening(30013))
        self.assertTrue(listening(30215))
        self.assertRaises(KeyError, pwd.getpwnam, "abcadm")
        self.assertIn("xyzadm", grp.getgrnam("sapsys").gr_mem)
        self.assertEqual(hana_sim.installed_sids(), ["XYZ"])

    def test_database_layer_of_a_tenant(self):
        hana_sim.install(sid="ABC", instance=0, host="h1", tenants=["T01", "T02"])
        alter = ("ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'DATABASE', 'T01') SET "
                 "('backup', 'log_backup_using_backint') = 'true' WITH RECONFIGURE")
        self.assertEqual(sql(alter)[0], 0)
        query = "select LAYER_NAME, VALUE from M_INIFILE_CONTENTS where KEY = 'log_backup_using_backint'"
        self.assertEqual(sql(query, database="T01")[1].splitlines()[1:3], ['"DEFAULT","false"', '"DATABASE","true"'])
        self.assertEqual(sql(query, database="T02")[1].splitlines()[1:3],
                         ['"DEFAULT","false"', "1 row selected (overall time 1.234 msec; server time 0.321 msec)"])
        self.assertEqual(hana_sim.get_ini("ABC", "global.ini", "T01"), {"backup": {"log_backup_using_backint": "true"}})


class StatementParsingTest(unittest.TestCase):
    """The simulator's parsers on their own, against the statements and
    lines the system produces."""

    def conn(self, database="SYSTEMDB"):
        from hana_sim import programs
        state = {"sid": "ABC", "multi_container": True, "version": "2", "instance_number": 0,
                 "databases": {"SYSTEMDB": {"active": True, "description": "S", "schemas": []},
                               "T01": {"active": False, "description": "a,b", "schemas": []}},
                 "backup_catalog": [
                     {"entry_id": 1, "backup_id": 5, "database": "T01", "entry_type_name": "complete data backup",
                      "state_name": "successful", "utc_start_time": "2024-01-31 10:00:00.123000",
                      "utc_end_time": "2024-01-31 10:05:00.000000", "sys_end_time": None, "files": [
                          {"destination_type_name": "backint", "backup_size": 7}]},
                     {"entry_id": 2, "backup_id": 9, "database": "T01", "entry_type_name": "log backup",
                      "state_name": "successful", "utc_start_time": "2024-01-31 11:00:00.000000", "files": []}],
                 "backup_progress": []}
        return programs.Connection("ABC", state, database, "SYSTEM", "h1", 30013)

    def test_select_where_order_limit_and_functions(self):
        from hana_sim import sql
        r = sql.select(self.conn(), "select DATABASE_NAME, ACTIVE_STATUS from M_DATABASES "
                                    "where ACTIVE_STATUS <> 'YES' order by DATABASE_NAME desc")
        self.assertEqual((r.columns, r.rows), (["DATABASE_NAME", "ACTIVE_STATUS"], [["T01", "NO"]]))
        r = sql.select(self.conn(), "select TO_VARCHAR(UTC_START_TIME, 'YYYY-MM-DD HH24:MI:SS') as START_TIME, "
                                    "SYS_END_TIME from SYS_DATABASES.M_BACKUP_CATALOG where BACKUP_ID=5")
        self.assertEqual(r.rows, [["2024-01-31 10:00:00", None]])
        # The inner join drops catalog entries without files.
        r = sql.select(self.conn(), "select c.BACKUP_ID from SYS_DATABASES.M_BACKUP_CATALOG as c join "
                                    "SYS_DATABASES.M_BACKUP_CATALOG_FILES as f on c.BACKUP_ID = f.BACKUP_ID "
                                    "order by c.BACKUP_ID desc limit 1")
        self.assertEqual(r.rows, [[5]])

    def test_select_errors(self):
        from hana_sim import sql, programs
        for statement, code in (("select DATABASE_NAME from SYS_DATABASES.M_DATABASES", None),
                                ("select X from M_DATABASES", 260),
                                ("select BACKUP_ID from SYS_DATABASES.M_BACKUP_PROGRESS order by NOPE", 260),
                                ("select * from M_BACKUP_CATALOG where", 257),
                                ("select BACKUP_ID from SYS_DATABASES.M_BACKUP_CATALOG", 362)):
            conn = self.conn("T01" if code == 362 else "SYSTEMDB")
            if code is None:
                sql.select(conn, statement)
                continue
            with self.assertRaises(programs.SqlError) as cm:
                sql.select(conn, statement)
            self.assertEqual(cm.exception.code, code, statement)
        # HANA before 1.00.100 has no progress view.
        conn = self.conn()
        conn.state["version"] = "1.00.099.00.1433235421"
        with self.assertRaises(programs.SqlError) as cm:
            sql.select(conn, "select BACKUP_SIZE from SYS_DATABASES.M_BACKUP_PROGRESS")
        self.assertEqual(cm.exception.code, 259)
        conn.state["version"] = "1.00.100.00.1"
        sql.select(conn, "select BACKUP_SIZE from SYS_DATABASES.M_BACKUP_PROGRESS")

    def test_scripts_options_and_backint_lines(self):
        from hana_sim import programs, backup
        self.assertEqual(programs.split_statements("select 'a;b' from X; \n;select 2;"),
                         ["select 'a;b' from X", "select 2"])
        opts, statement = programs.parse_hdbsql_args(["-u", "U", "-p", "P", "-i", "7", "-n", "h:30713",
                                                      "select", "1"])
        self.assertEqual((opts["-n"], statement), ("h:30713", "select 1"))
        self.assertRaises(programs.UsageError, programs.parse_hdbsql_args, ["-y", "x"])
        self.assertEqual(programs._masked_argv(["-u", "U", "-p", "secret"]), ["-u", "U", "-p", "***"])
        self.assertEqual(backup.parse_output_line('#SAVED "e1" "/a/b \\"c\\"" 42'),
                         ("#SAVED", ["e1", '/a/b "c"', "42"]))
        self.assertEqual(backup.parse_output_line("#DEBUG Failed to x #ERROR"), ("#DEBUG", ["Failed to x #ERROR"]))

    def test_recover_statements_of_the_restore_job(self):
        from hana_sim import programs, recovery
        r = recovery.parse_recover("RECOVER DATA FOR T1 USING BACKUP_ID 1234 USING CATALOG BACKINT CLEAR LOG;")
        self.assertEqual((r["kind"], r["database"], r["backup_id"], r["catalog_backint"], r["source"]),
                         ("DATA", "T1", 1234, True, None))
        r = recovery.parse_recover("RECOVER DATABASE FOR T2 UNTIL TIMESTAMP '2024-01-31 10:00:00' CLEAR LOG "
                                 "USING SOURCE 'T1@PRD'  USING CATALOG BACKINT USING BACKUP_ID 1234 "
                                 "CHECK ACCESS ALL IGNORE DELTA DATA BACKUPS")
        self.assertEqual((r["until"], r["source"], r["backup_id"], r["ignore_delta"]),
                         ("2024-01-31 10:00:00", "T1@PRD", 1234, True))
        r = recovery.parse_recover("RECOVER DATA USING BACKINT ('0123abcd') CLEAR LOG;")
        self.assertEqual((r["database"], r["prefix"], r["backup_id"]), (None, "0123abcd", None))
        for bad in ("RECOVER DATA FOR T1 CLEAR LOG", "RECOVER DATABASE FOR T1 USING BACKUP_ID 1 CLEAR LOG",
                    "RECOVER DATA USING BACKUP_ID 1", "RECOVER DATA USING BACKUP_ID 1 CLEAR LOG CHECK ACCESS ALL",
                    "RECOVER DATABASE UNTIL TIMESTAMP '2024-01-31 25:00:00' CLEAR LOG USING BACKUP_ID 1 "
                    "CHECK ACCESS ALL"):
            self.assertRaises(programs.SqlError, recovery.parse_recover, bad)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
