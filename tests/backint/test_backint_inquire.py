#!/usr/bin/python3
"""hana-backint -f inquire end to end in the sandbox: by EBID, by name with
paging through both catalogs, everything of the landscape; user id checks,
the catalog-backup setting, Backint 1.50 against 1.04, failing servers and
malformed input."""

import json
import sys
import unittest
import uuid

import backint_fixture as bf
import sandbox_env as sb
from test_backint_restore import Pool, add_backint_files, clear_backint_catalog, set_row, software_id

NAME = "COMPLETE_databackup_3_1"
TIME = "2026-05-06T07:08:09Z"
PAGED = "COMPLETE_databackup_11_1"  # the only name with a backup-set row
HANA_TIME = "2026-05-06T07:08:09.000Z"


class InquireTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sb.require_sandbox()
        cls.env = bf.Backint_Env.setup(sid="HIQ", tenants=["T01"])
        cls.env.env_overrides = {"STROVIX3_BACKOFF_SCALE": "0.001"}

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        self.srv = self.env.backupd
        self.srv.clear_faults()
        self.env.write_hana_conf(text="{}")
        self.pool = Pool("inquire")
        clear_backint_catalog(self.env)
        self.srv.clear_requests()

    def inquire(self, entries, version="1.50", user_id=None, in_file_text=None):
        lines = [software_id(version)] + list(entries)
        return self.env.run("inquire", None, lines, "T01", user_id=user_id, in_file_text=in_file_text)

    def assert_output(self, result, lines, exit_code=0, version="1.50"):
        self.assertEqual(result.output, "".join(l + "\n" for l in [software_id(version)] + lines), result.stderr)
        self.assertEqual(result.exit, exit_code, result.output + result.stderr)

    def seed(self, count, name=NAME, missing=(), landscape_id=None):
        """`count` backint records of `name`; objects for all but `missing`."""
        files = []
        for i in range(count):
            ebid = "%s%04d" % (uuid.uuid1().hex[:28], i)
            storage_path = "HIQ/%s.%d" % (name, i)
            if i not in missing:
                self.pool.put(storage_path, b"object %d" % i)
            files.append(dict(filename=name, extern_backup_id=ebid, storage_path=storage_path, backup_time=TIME,
                              origin_path=self.env.pipe_path("T01", name)))
        add_backint_files(self.env, "T01", self.pool.dir, files, landscape_id=landscape_id)
        self.srv.clear_requests()
        return [f["extern_backup_id"] for f in files]

    # --- by name --------------------------------------------------------
    def test_by_name_pages_through_both_catalogs(self):
        ebids = self.seed(25, name=PAGED, missing=(3, 17))
        self.pool.put("sets/" + PAGED, b"set object")
        self.srv.add_set_rows([set_row(self.env, "T01", self.pool.dir + "/sets/" + PAGED, "setebid")])
        origin = self.env.pipe_path("T01", PAGED)
        r = self.inquire(["#NULL %s" % bf.quote(origin)])
        expected = ['#BACKUP "%s" "%s" "%s"' % (e, origin, HANA_TIME) for i, e in enumerate(ebids) if i not in (3, 17)]
        expected.append('#BACKUP "setebid" "%s" "2026-05-06T07:08:09.000Z"' % origin)
        self.assert_output(r, expected)
        pages = [(q["path"], dict(q["params"]).get("offset")) for q in self.srv.requests()]
        self.assertEqual(pages, [("/d2/r/hana/backint/file", "0"), ("/d2/r/hana/backint/file", "10"),
                                 ("/d2/r/hana/backint/file", "20"), ("/d2/r/hana/backint/file", "30"),
                                 ("/d2/r/v2/sets/select", "0")])
        params = dict(self.srv.requests()[0]["params"])
        self.assertEqual((params["database"], params["filename"], params["limit"]), ("T01", PAGED, "10"))

    def test_by_name_without_backups_and_in_the_old_protocol(self):
        self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        missing = self.env.pipe_path("T01", "COMPLETE_databackup_5_1")
        r = self.inquire(["#NULL %s" % bf.quote(missing), "#NULL %s" % bf.quote(origin)], version="1.04")
        self.assertEqual(len(r.by_keyword("#BACKUP")), 1)
        self.assertEqual(r.output.splitlines()[1:], ['#NOTFOUND "%s"' % missing,
                                                     '#BACKUP "%s" "%s"' % (r.by_keyword("#BACKUP")[0][0], origin)])
        self.assertEqual(r.exit, 0)

    def test_catalog_backups_follow_the_setting(self):
        self.seed(1, name="log_backup_0_0_0_0")
        catalog = self.env.pipe_path("T01", "log_backup_0_0_0_0")
        r = self.inquire(["#NULL %s" % bf.quote(catalog)])
        self.assert_output(r, ['#NOTFOUND "%s"' % catalog])
        self.assertEqual(self.srv.requests(), [])
        self.env.write_hana_conf(text=json.dumps({"certification": {"restore_catalog_from_conf": False}}))
        r = self.inquire(["#NULL %s" % bf.quote(catalog)])
        self.assertEqual(len(r.by_keyword("#BACKUP")), 1, r.output)

    # --- by EBID ----------------------------------------------------------
    def test_by_ebid_both_forms_and_both_protocols(self):
        (ebid,) = self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        other = self.env.pipe_path("T01", "COMPLETE_databackup_9_1")
        entries = ['#EBID "%s" "%s"' % (ebid, origin), "#EBID %s %s" % (ebid, other), '#EBID "nope" "%s"' % origin]
        r = self.inquire(entries)
        self.assert_output(r, ['#BACKUP "%s" "%s" "%s"' % (ebid, origin, HANA_TIME),
                               '#NOTFOUND "%s" "%s"' % (ebid, other), '#NOTFOUND "nope" "%s"' % origin])
        r = self.inquire(entries, version="1.04")
        self.assert_output(r, ['#BACKUP "%s" "%s"' % (ebid, origin), '#NOTFOUND "%s" "%s"' % (ebid, other),
                               '#NOTFOUND "nope" "%s"' % origin], version="1.04")

    # --- everything -------------------------------------------------------
    def test_everything_of_the_landscape(self):
        r = self.inquire(["#NULL"])
        self.assert_output(r, ["#NOTFOUND"])
        ebids = self.seed(3, missing=(1,))
        self.seed(2, name="COMPLETE_databackup_0_1", landscape_id="another-landscape")
        r = self.inquire(["#NULL"])
        origin = self.env.pipe_path("T01", NAME)
        self.assert_output(r, ['#BACKUP "%s" "%s" "%s"' % (ebids[0], origin, HANA_TIME),
                               '#BACKUP "%s" "%s" "%s"' % (ebids[2], origin, HANA_TIME)])

    # --- user id ----------------------------------------------------------
    def test_user_id_checks(self):
        self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        r = self.inquire(["#NULL %s" % bf.quote(origin)], user_id="HIQ")
        self.assert_output(r, ["#DEBUG Lack of database name", "#NOTFOUND"])
        r = self.inquire(["#NULL %s" % bf.quote(origin)], user_id="T01@NOPE")
        self.assert_output(r, ["#NOTFOUND"])
        # Backint 1.04 accepts a bare SID.
        r = self.inquire(["#NULL %s" % bf.quote(origin)], user_id="HIQ", version="1.04")
        self.assertEqual(len(r.by_keyword("#BACKUP")), 1, r.output)

    # --- faults -----------------------------------------------------------
    def test_failing_server_is_an_error_never_not_found(self):
        (ebid,) = self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        self.srv.fault(count=100, status=503)
        r = self.inquire(["#NULL %s" % bf.quote(origin), '#EBID "%s" "%s"' % (ebid, origin)])
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.by_keyword("#NOTFOUND") + r.by_keyword("#BACKUP"), [])
        self.assertEqual([f for _, f in r.errors()], [origin, origin])
        self.assertIn("Failed to inquire null file in local", r.errors()[0][0])
        self.assertIn("Failed to look up backup file %s in the catalogs" % ebid, r.errors()[1][0])

    def test_dropped_connections_are_retried(self):
        (ebid,) = self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        self.srv.fault(count=2, drop=True)
        r = self.inquire(['#EBID "%s" "%s"' % (ebid, origin)])
        self.assert_output(r, ['#BACKUP "%s" "%s" "%s"' % (ebid, origin, HANA_TIME)])

    def test_malformed_input(self):
        r = self.inquire([], in_file_text=software_id() + "\n#EBID\n#FOO\n\n")
        self.assertEqual((r.exit, r.output), (1, '#DEBUG Input file is empty\n#ERROR "NULL"\n'))
        # An unclosed quote is answered at once; an EBID alone is an inquiry too.
        (ebid,) = self.seed(1)
        origin = self.env.pipe_path("T01", NAME)
        r = self.inquire(['#NULL "%s' % origin, '#EBID "%s"' % ebid, '#EBID "0000"'])
        self.assert_output(r, ["#DEBUG Failed to read the input line of %s" % origin, '#ERROR "%s"' % origin,
                               '#BACKUP "%s" "%s" "%s"' % (ebid, origin, HANA_TIME), '#NOTFOUND "0000"'], 1)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
