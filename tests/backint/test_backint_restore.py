#!/usr/bin/python3
"""hana-backint -f restore end to end in the sandbox: objects found by EBID
and by name in the backint catalog and the backup-set catalog of the
development backupd, read from file pools into named pipes that a HANA-like
reader drains concurrently, byte for byte; the restore and catalog
configuration files; refused destinations, corrupted objects, failing or
absent servers, malformed input.

The helpers at the top are shared by the inquire and delete tests."""

import grp
import json
import os
import shutil
import struct
import sys
import unittest
import uuid

import backint_fixture as bf
import sandbox_env as sb

SCRATCH = os.environ.get("HANA_SANDBOX_SCRATCH", "/tmp")
CATALOG_DIR = sb.HANA_WORK_DIR + "/catalog"
SOFTWARE_VERSION = "HANA HDB server 2.00.070.00.1700000000"


# ------------------------------------------------------------------ seeding


def _crc32c_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_CRC32C = _crc32c_table()


def crc32c(data):
    crc = 0xFFFFFFFF
    table = _CRC32C
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def store_object(pool_dir, name, data, corrupt=False):
    """Writes `data` as stored object `name` of the file pool `pool_dir`
    (agent/object_envelope.h, uncompressed). `corrupt` flips one data byte
    after the checksum was taken."""
    path = os.path.join(pool_dir, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    d = os.path.dirname(path)
    while d.startswith(pool_dir):
        os.chmod(d, 0o755)
        d = os.path.dirname(d)
    head = b"SVXOBJ\x00\x01" + struct.pack("<IIi", 1, 0, 0)
    head += b"\x00" * (64 - len(head))
    tail = b"SVXEND\x00\x01" + struct.pack("<QQI", len(data), len(data), crc32c(data))
    tail += b"\x00" * (64 - len(tail))
    payload = bytearray(data)
    if corrupt:
        payload[len(payload) // 2] ^= 0x5A
    with open(path, "wb") as f:
        f.write(head + bytes(payload) + tail)
    os.chmod(path, 0o644)
    return path


def api(env, method, path, body=None):
    status, answer = env.backupd.request(method, path, body, access_key=bf.ACCESS_KEY)
    if status != 200:
        raise AssertionError("%s %s: %d %s" % (method, path, status, answer))
    return answer


def add_backint_files(env, database, location, files, backup_id=1, landscape_id=None, pool_uuid=""):
    """One backint job of `database` with `files`: dicts with at least
    "filename" and "extern_backup_id"; storage_path defaults to
    "<SID>/<filename>", source_type to "pipe"."""
    job_uuid = uuid.uuid4().hex
    api(env, "POST", "/d2/r/hana/backint/job",
        {"uuid": job_uuid, "database_backup_id": backup_id, "host_uuid": bf.HOST_UUID, "job_act_id": "",
         "type": "complete", "location": location, "database": database, "compression": "",
         "compression_level": 1, "extended_attrs": {}, "sid": env.sid, "pool_uuid": pool_uuid,
         "landscape_id": landscape_id or env.landscape_id(), "check_exist": False})
    rows = []
    for f in files:
        row = {"info_uuid": "", "size": 0, "storage_size": 0, "source_type": "pipe", "pool_uuid": pool_uuid,
               "storage_path": "%s/%s" % (env.sid, f["filename"]),
               "origin_path": env.pipe_path(database, f["filename"]), "database_backup_id": backup_id}
        row.update(f)
        rows.append(row)
    api(env, "POST", "/d2/r/hana/backint/file", {"job_uuid": job_uuid, "files": rows})
    return job_uuid


def set_row(env, database, location, ebid, backup_id=1, pool_uuid="", storage_path=None, origin_path=None):
    """A backup-set row whose object is `location` (directory + name)."""
    name = os.path.basename(location)
    return {"size": 0, "location": location, "database": database, "extern_backup_id": ebid,
            "pool_uuid": pool_uuid, "origin_path": origin_path or env.pipe_path(database, name),
            "storage_path": storage_path or name, "backup_start_time": "2026-05-06T07:08:09.000Z",
            "database_backup_id": backup_id}


def _agent_file(path, text):
    """A file of the agent's HANA work tree as the agent writes it: group
    sapsys, mode 0640, directories 0750."""
    gid = grp.getgrnam(sb.sapsys_group()).gr_gid
    directory = os.path.dirname(path)
    os.makedirs(directory, exist_ok=True)
    d = directory
    while d.startswith(sb.HANA_WORK_DIR):
        os.chown(d, 0, gid)
        os.chmod(d, 0o750)
        d = os.path.dirname(d)
    for parent in ("/var/opt/corvane", "/var/opt/corvane/strovix3", "/var/opt/corvane/strovix3/agent"):
        os.chmod(parent, 0o755)
    with open(path, "w") as f:
        f.write(text)
    os.chown(path, 0, gid)
    os.chmod(path, 0o640)
    return path


def write_restore_conf(sid, database, conf):
    """The restore configuration file (a dict, or text as is)."""
    text = conf if isinstance(conf, str) else json.dumps(conf)
    return _agent_file("%s/%s@%s-restore-ext-conf" % (CATALOG_DIR, sid, database), text)


def write_catalog_conf(source_sid, source_db, sid, database, conf):
    text = conf if isinstance(conf, str) else json.dumps(conf)
    return _agent_file("%s/%s@%s-%s@%s" % (CATALOG_DIR, source_sid, source_db, sid, database), text)


def clear_backint_catalog(env):
    for f in env.backupd.files():
        env.backupd.request("DELETE", "/d2/r/hana/backint/file?extern_backup_id=" + f["extern_backup_id"],
                            access_key=bf.ACCESS_KEY)


def clear_agent_files():
    shutil.rmtree(CATALOG_DIR, ignore_errors=True)


def software_id(version="1.50"):
    return '#SOFTWAREID "backint %s" "%s"' % (version, SOFTWARE_VERSION)


class Pool:
    """A file pool directory below the scratch tree, readable by <sid>adm."""

    def __init__(self, name):
        self.dir = os.path.join(SCRATCH, "restore-pools", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        bf.Backint_Env.make_pool_dir(self.dir, 0o755)
        os.chmod(os.path.dirname(self.dir), 0o755)

    def put(self, name, data, corrupt=False):
        return store_object(self.dir, name, data, corrupt)


# ------------------------------------------------------------------ tests


class RestoreTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sb.require_sandbox()
        cls.env = bf.Backint_Env.setup(sid="HRS", tenants=["T01", "T02"])
        cls.env.env_overrides = {"STROVIX3_BACKOFF_SCALE": "0.001"}

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        self.srv = self.env.backupd
        self.srv.clear_faults()
        clear_backint_catalog(self.env)
        self.env.write_hana_conf(text="{}")
        clear_agent_files()
        write_restore_conf("HRS", "T01", {})
        self.pool = Pool("main")

    def restore(self, entries, readers, database="T01", **kwargs):
        return self.env.restore(database, entries, readers, **kwargs)

    def pipe(self, name, database="T01"):
        return self.env.pipe_path(database, name)

    def assert_output(self, result, lines, exit_code=0, version="1.50"):
        self.assertEqual(result.output, "".join(l + "\n" for l in [software_id(version)] + lines),
                         result.stderr)
        self.assertEqual(result.exit, exit_code, result.output + result.stderr)

    def assert_answers(self, result, lines):
        """Like assert_output for answers of entries restored concurrently,
        which come in the order their transfers end."""
        out = result.output.splitlines()
        self.assertEqual((out[:1], sorted(out[1:]), result.exit), ([software_id("1.50")], sorted(lines), 0),
                         result.output + result.stderr)

    def seed(self, name, data, ebid=None, backup_id=1, database="T01", **extra):
        ebid = ebid or uuid.uuid1().hex
        self.pool.put("HRS/" + name, data)
        add_backint_files(self.env, database, self.pool.dir, [dict(filename=name, extern_backup_id=ebid, **extra)],
                          backup_id=backup_id)
        self.srv.clear_requests()
        return ebid

    # --- by EBID --------------------------------------------------------
    def test_ebid_entries_stream_into_pipes_byte_for_byte(self):
        big = bf.pattern(1, 4 * 1024 * 1024 + 4099)  # more than one 4 MiB block
        small = bf.pattern(2, 1000)
        e1 = self.seed("COMPLETE_databackup_3_1", big)
        e2 = self.seed("COMPLETE_databackup_0_1", small)
        p1 = self.pipe("COMPLETE_databackup_3_1")
        p2 = self.pipe("COMPLETE_databackup_0_1")
        # Quoted and unquoted EBIDs; the second one into another pipe.
        other = self.pipe("restore_target_0_1")
        r = self.restore(['#EBID "%s" "%s"' % (e1, p1), "#EBID %s %s %s" % (e2, bf.quote(p2), bf.quote(other))],
                         [p1, other])
        self.assert_answers(r, ['#RESTORED "%s" "%s"' % (e1, p1), '#RESTORED "%s" "%s"' % (e2, p2)])
        self.assertTrue(bytes(r.pipes[p1].content) == big, "pipe content differs")
        self.assertEqual(bytes(r.pipes[other].content), small)

    def test_ebid_only_in_backup_sets_is_read_from_the_row_location(self):
        data = bf.pattern(3, 300000)
        self.pool.put("sets/HRS/COMPLETE_databackup_3_1", data)
        self.srv.add_set_rows([set_row(self.env, "T01", self.pool.dir + "/sets/HRS/COMPLETE_databackup_3_1", "setebid1")])
        p = self.pipe("COMPLETE_databackup_3_1")
        r = self.restore(['#EBID "setebid1" "%s"' % p], [p])
        self.assert_output(r, ['#RESTORED "setebid1" "%s"' % p])
        self.assertEqual(bytes(r.pipes[p].content), data)

    def test_unknown_ebid_and_foreign_sid(self):
        e = self.seed("COMPLETE_databackup_3_1", b"x" * 100)
        p = self.pipe("COMPLETE_databackup_3_1")
        r = self.restore(['#EBID "0000aaaa" "%s"' % p], [])
        self.assert_output(r, ['#NOTFOUND "%s"' % p])
        # Backint 1.50: a user id of another system finds nothing.
        r = self.restore(['#EBID "%s" "%s"' % (e, p)], [], user_id="T01@XYZ")
        self.assert_output(r, ['#NOTFOUND "%s"' % p])
        # Backint 1.04 does not compare the SID for EBID entries.
        r = self.restore(['#EBID "%s" "%s"' % (e, p)], [p], user_id="T01@XYZ", software_id="1.04")
        self.assert_output(r, ['#RESTORED "%s" "%s"' % (e, p)], version="1.04")
        self.assertEqual(bytes(r.pipes[p].content), b"x" * 100)

    # --- by name --------------------------------------------------------
    def test_null_entry_takes_the_newer_of_both_catalogs(self):
        name = "COMPLETE_databackup_3_1"
        local_data, set_data = bf.pattern(4, 5000), bf.pattern(5, 6000)
        self.seed(name, local_data, ebid="localebid7", backup_id=7)
        self.pool.put("sets/" + name, set_data)
        self.srv.add_set_rows([set_row(self.env, "T01", self.pool.dir + "/sets/" + name, "setebid5", backup_id=5)])
        p = self.pipe(name)
        r = self.restore(["#NULL %s" % bf.quote(p)], [p])
        self.assert_output(r, ['#RESTORED "localebid7" "%s"' % p])
        self.assertEqual(bytes(r.pipes[p].content), local_data)

        # A backup-set entry as new as the backint one wins.
        tie = "COMPLETE_databackup_5_1"
        self.seed(tie, local_data, ebid="localebid6", backup_id=6)
        self.pool.put("sets/" + tie, set_data)
        self.srv.add_set_rows([set_row(self.env, "T01", self.pool.dir + "/sets/" + tie, "setebid6", backup_id=6)])
        p = self.pipe(tie)
        r = self.restore(["#NULL %s" % bf.quote(p)], [p])
        self.assert_output(r, ['#RESTORED "setebid6" "%s"' % p])
        self.assertEqual(bytes(r.pipes[p].content), set_data)

        # Another system's user id finds nothing by name, whatever the protocol.
        r = self.restore(["#NULL %s" % bf.quote(p)], [], user_id="T01@XYZ", software_id="1.04")
        self.assert_output(r, ['#NOTFOUND "%s"' % p], version="1.04")

    def test_pools_of_the_restore_configuration(self):
        data_pool, log_pool = Pool("data"), Pool("log")
        self.srv.add_pool("11111111-1111-1111-1111-111111111111", data_pool.dir)
        self.srv.add_pool("22222222-2222-2222-2222-222222222222", log_pool.dir)
        write_restore_conf("HRS", "T01", {"pool_uuid": "11111111-1111-1111-1111-111111111111",
                                          "log_pool_uuid": "22222222-2222-2222-2222-222222222222",
                                          "io_ctl": {"max_seconds_retry": 30}})
        data, log = bf.pattern(6, 7000), bf.pattern(7, 8000)
        data_name, log_name = "COMPLETE_databackup_3_1", "log_backup_3_0_0_1024.1700000000000"
        data_pool.put("objects/d1", data)
        log_pool.put("objects/l1", log)
        self.srv.add_set_rows([
            set_row(self.env, "T01", "/nowhere/" + data_name, "dataebid", storage_path="objects/d1",
                    pool_uuid="11111111-1111-1111-1111-111111111111"),
            set_row(self.env, "T01", "/nowhere/" + log_name, "logebid", storage_path="objects/l1",
                    pool_uuid="22222222-2222-2222-2222-222222222222")])
        pd, pl = self.pipe(data_name), self.pipe(log_name)
        r = self.restore(['#EBID "dataebid" "%s"' % pd, '#EBID "logebid" "%s"' % pl], [pd, pl])
        self.assert_answers(r, ['#RESTORED "dataebid" "%s"' % pd, '#RESTORED "logebid" "%s"' % pl])
        self.assertEqual(bytes(r.pipes[pd].content), data)
        self.assertEqual(bytes(r.pipes[pl].content), log)
        # Each object was looked up in its own pool.
        pools = [dict(q["params"]).get("pool_uuid") for q in self.srv.requests() if q["path"] == "/d2/r/v2/sets/select"]
        self.assertEqual(pools, ["11111111-1111-1111-1111-111111111111", "22222222-2222-2222-2222-222222222222"])

    # --- catalog backups ------------------------------------------------
    def test_catalog_backup_from_the_catalog_configuration_file(self):
        catalog = bf.pattern(8, 4000)
        self.pool.put("SRC/catalog_object", catalog)
        write_catalog_conf("SRC", "T01", "HRS", "T02", {
            "location": self.pool.dir, "filename": "SRC/catalog_object", "extern_backup_id": "catebid",
            "source_type": "pipe", "pool_uuid": ""})
        source = "/usr/sap/SRC/SYS/global/hdb/backint/DB_T01/log_backup_0_0_0_0"
        target = self.env.pipe_path("T02", "log_backup_0_0_0_0")
        write_restore_conf("HRS", "T02", {})
        r = self.restore(["#NULL %s %s" % (bf.quote(source), bf.quote(target))], [target], database="T02")
        self.assert_output(r, ['#RESTORED "catebid" "%s"' % source])
        self.assertEqual(bytes(r.pipes[target].content), catalog)

        # A malformed catalog configuration file: not found, with the reason.
        write_catalog_conf("SRC", "T01", "HRS", "T02", {"location": self.pool.dir})
        r = self.restore(["#NULL %s %s" % (bf.quote(source), bf.quote(target))], [], database="T02")
        self.assertIn("#DEBUG Failed to parse catalog conf: ", r.output)
        self.assertTrue(r.output.endswith('#NOTFOUND "%s"\n' % source), r.output)
        self.assertEqual(r.exit, 0)

    def test_catalog_backup_looked_up_by_name_when_the_setting_is_off(self):
        self.env.write_hana_conf(text=json.dumps({"certification": {"restore_catalog_from_conf": False}}))
        catalog = bf.pattern(9, 3000)
        ebid = self.seed("log_backup_0_0_0_0", catalog)
        target = self.pipe("log_backup_0_0_0_0")
        r = self.restore(["#NULL %s" % bf.quote(target)], [target])
        self.assert_output(r, ['#RESTORED "%s" "%s"' % (ebid, target)])
        self.assertEqual(bytes(r.pipes[target].content), catalog)

    # --- destinations -----------------------------------------------------
    def test_refused_destination_fails_only_its_entry(self):
        e1 = self.seed("COMPLETE_databackup_3_1", b"a" * 10)
        e2 = self.seed("COMPLETE_databackup_5_1", b"b" * 10)
        e3 = self.seed("COMPLETE_databackup_0_1", b"c" * 10)
        # Regular files where HANA's pipes live, so that the restore
        # configuration is found from the destination.
        regular = self.pipe("regular-destination")
        os.makedirs(os.path.dirname(regular), exist_ok=True)
        with open(regular, "w"):
            pass
        os.chmod(regular, 0o666)
        p1, p2, p3 = (self.pipe(n) for n in ("COMPLETE_databackup_3_1", "COMPLETE_databackup_5_1",
                                             "COMPLETE_databackup_0_1"))
        r = self.restore(['#EBID "%s" "%s" "%s"' % (e1, p1, regular), '#EBID "%s" "%s"' % (e2, p2),
                          "#NULL %s" % bf.quote(p3)], [p2, p3])
        # The refusal is known before any transfer; the other entries go on.
        lines = r.output.splitlines()
        self.assertEqual(lines[:4], [software_id("1.50"), "#DEBUG Destination pipe %s does not exist" % regular,
                                     '#DEBUG Failed to check destination file %s' % regular, '#ERROR "%s"' % p1])
        self.assertEqual(sorted(lines[4:]), sorted(['#RESTORED "%s" "%s"' % (e2, p2), '#RESTORED "%s" "%s"' % (e3, p3)]))
        self.assertEqual(r.exit, 1)
        self.assertEqual((bytes(r.pipes[p2].content), bytes(r.pipes[p3].content)), (b"b" * 10, b"c" * 10))

        # The last entry of its kind refused: nothing is left unanswered, but
        # an #ERROR line always means exit code 1.
        r = self.restore(['#EBID "%s" "%s" "%s"' % (e1, p1, regular)], [])
        self.assert_output(r, ["#DEBUG Destination pipe %s does not exist" % regular,
                               '#DEBUG Failed to check destination file %s' % regular, '#ERROR "%s"' % p1],
                           exit_code=1)

    def test_object_saved_from_a_file_goes_into_a_regular_file(self):
        data = bf.pattern(10, 20000)
        e = self.seed("COMPLETE_databackup_3_1", data, source_type="file")
        target = self.pipe("file-destination")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w"):
            pass
        os.chmod(target, 0o666)
        p = self.pipe("COMPLETE_databackup_3_1")
        r = self.restore(['#EBID "%s" "%s" "%s"' % (e, p, target)], [])
        self.assert_output(r, ['#RESTORED "%s" "%s"' % (e, p)])
        with open(target, "rb") as f:
            self.assertEqual(f.read(), data)

    # --- faults -----------------------------------------------------------
    def test_corrupted_object_is_an_error_of_its_entry_only(self):
        e1 = uuid.uuid1().hex
        self.pool.put("HRS/COMPLETE_databackup_3_1", bf.pattern(11, 50000), corrupt=True)
        add_backint_files(self.env, "T01", self.pool.dir, [dict(filename="COMPLETE_databackup_3_1", extern_backup_id=e1)])
        e2 = self.seed("COMPLETE_databackup_0_1", b"z" * 10)
        p1, p2 = self.pipe("COMPLETE_databackup_3_1"), self.pipe("COMPLETE_databackup_0_1")
        r = self.restore(['#EBID "%s" "%s"' % (e1, p1), '#EBID "%s" "%s"' % (e2, p2)], [p1, p2])
        self.assertEqual(r.exit, 1)
        self.assertIn("#DEBUG Failed to write data to %s, checksum mismatch" % p1, r.output)
        self.assertIn("#DEBUG Failed to write date to '%s'\n#ERROR \"%s\"\n" % (p1, p1), r.output)
        self.assertEqual(r.errors(), [("Failed to write date to '%s'\n" % p1, p1)])
        self.assertIn('#RESTORED "%s" "%s"\n' % (e2, p2), r.output)
        self.assertEqual(bytes(r.pipes[p2].content), b"z" * 10)

    def test_transient_server_failures_are_retried(self):
        data = bf.pattern(12, 1000)
        e = self.seed("COMPLETE_databackup_3_1", data)
        p = self.pipe("COMPLETE_databackup_3_1")
        self.srv.fault(count=2, status=503, prefix="/d2/r/hana/backint/file")
        self.srv.fault(count=1, drop=True, prefix="/d2/r/hana/backint/file")
        r = self.restore(['#EBID "%s" "%s"' % (e, p)], [p])
        self.assert_output(r, ['#RESTORED "%s" "%s"' % (e, p)])
        self.assertEqual(bytes(r.pipes[p].content), data)
        statuses = [q["status"] for q in self.srv.requests() if q["path"] == "/d2/r/hana/backint/file"]
        self.assertEqual(statuses, [503, 503, "dropped", 200])

    def test_server_that_keeps_failing_gives_an_error(self):
        e = self.seed("COMPLETE_databackup_3_1", b"q" * 10)
        p = self.pipe("COMPLETE_databackup_3_1")
        self.srv.fault(count=100, status=503)
        r = self.restore(['#EBID "%s" "%s"' % (e, p)], [])
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.by_keyword("#RESTORED") + r.by_keyword("#NOTFOUND"), [])
        ((text, file),) = r.errors()
        self.assertEqual(file, p)
        self.assertIn("Failed to look up", text)
        # Four tries on each catalog.
        self.assertEqual([q["path"] for q in self.srv.requests()],
                         ["/d2/r/hana/backint/file"] * 4 + ["/d2/r/v2/sets/select"] * 4)

    def test_malformed_input_and_configuration(self):
        r = self.env.run("restore", None, [], "T01", in_file_text=software_id() + "\n#EBID onlyanebid\ngarbage\n")
        self.assertEqual(r.output, '#DEBUG Input file is empty\n#ERROR "NULL"\n')
        self.assertEqual(r.exit, 1)
        p = self.pipe("COMPLETE_databackup_3_1")
        for conf in ("not json", "[1, 2]", {"pool_uuid": 5}):
            write_restore_conf("HRS", "T01", conf)
            r = self.restore(['#EBID "abcd" "%s"' % p], [])
            self.assertEqual((r.exit, r.output), (1, ""), conf)
        os.unlink("%s/HRS@T01-restore-ext-conf" % CATALOG_DIR)
        r = self.restore(['#EBID "abcd" "%s"' % p], [])
        self.assertEqual((r.exit, r.output), (1, ""))


class RestoreServerDownTest(unittest.TestCase):
    """No server at all: lookups fail after their retries."""

    def test_server_down_at_start(self):
        sb.require_sandbox()
        env = bf.Backint_Env.setup(sid="HRD", tenants=["T01"])
        try:
            env.env_overrides = {"STROVIX3_BACKOFF_SCALE": "0.001"}
            write_restore_conf("HRD", "T01", {})
            env.backupd.stop()
            p = env.pipe_path("T01", "COMPLETE_databackup_3_1")
            r = env.restore("T01", ['#EBID "abcd" "%s"' % p], [])
            self.assertEqual(r.exit, 1)
            ((text, file),) = r.errors()
            self.assertEqual(file, p)
            self.assertIn("Failed to look up", text)
        finally:
            env.hana_sim.uninstall(env.sid)
            clear_agent_files()


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
