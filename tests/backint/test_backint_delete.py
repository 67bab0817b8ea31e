#!/usr/bin/python3
"""hana-backint -f delete end to end in the sandbox: backint catalog records
are removed, backup-set entries are answered but kept, stored objects are
never touched; a removal or lookup that fails is an error, never a
deletion."""

import os
import sys
import unittest

import backint_fixture as bf
import sandbox_env as sb
from test_backint_restore import Pool, add_backint_files, clear_backint_catalog, set_row, software_id


class DeleteTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sb.require_sandbox()
        cls.env = bf.Backint_Env.setup(sid="HDL", tenants=["T01"])
        cls.env.env_overrides = {"STROVIX3_BACKOFF_SCALE": "0.001"}

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        self.srv = self.env.backupd
        self.srv.clear_faults()
        self.pool = Pool("delete")
        clear_backint_catalog(self.env)
        self.data = self.pipe("COMPLETE_databackup_3_1")
        self.log = self.pipe("log_backup_3_0_0_1024.1700000000000")
        self.pool.put("HDL/COMPLETE_databackup_3_1", b"data")
        add_backint_files(self.env, "T01", self.pool.dir, [
            dict(filename="COMPLETE_databackup_3_1", extern_backup_id="ebiddata"),
            dict(filename="log_backup_3_0_0_1024.1700000000000", extern_backup_id="ebidlog"),
            dict(filename='quo"ted', extern_backup_id="ebidquoted")])
        self.srv.add_set_rows([set_row(self.env, "T01", "/pool/sets/COMPLETE_databackup_5_1", "ebidset")])
        self.srv.clear_requests()

    def pipe(self, name):
        return self.env.pipe_path("T01", name)

    def delete(self, entries, version="1.50", in_file_text=None):
        return self.env.run("delete", None, [software_id(version)] + list(entries), "T01", in_file_text=in_file_text)

    def remaining(self):
        return sorted(f["extern_backup_id"] for f in self.srv.files())

    def test_every_entry_is_answered_and_only_backint_records_go(self):
        set_file = self.pipe("COMPLETE_databackup_5_1")
        quoted = self.pipe('quo"ted')
        r = self.delete(['#EBID "ebiddata" "%s"' % self.data,
                         "#EBID ebidset %s" % bf.quote(set_file),
                         '#EBID "ebidlog" "%s"' % self.pipe("some_other_name"),
                         '#EBID "unknown" "%s"' % self.data,
                         "#EBID ebidquoted %s" % bf.quote(quoted),
                         "#EBID onlyanebid"], version="1.04")
        self.assertEqual(r.output.splitlines(), [
            software_id("1.04"),
            '#DELETED "ebiddata" "%s"' % self.data,
            '#DELETED "ebidset" "%s"' % set_file,
            '#NOTFOUND "ebidlog" "%s"' % self.pipe("some_other_name"),
            '#NOTFOUND "unknown" "%s"' % self.data,
            '#DELETED "ebidquoted" "%s"' % quoted.replace('"', '\\"')])
        self.assertEqual(r.exit, 0)
        self.assertEqual(self.remaining(), ["ebidlog"])
        deletes = [dict(q["params"]) for q in self.srv.requests() if q["method"] == "DELETE"]
        self.assertEqual(deletes, [{"extern_backup_id": "ebiddata"}, {"extern_backup_id": "ebidquoted"}])
        # Stored data stays.
        self.assertTrue(os.path.exists(os.path.join(self.pool.dir, "HDL/COMPLETE_databackup_3_1")))

    def test_failed_removal_is_an_error(self):
        self.srv.admin("POST", "faults", {"count": 4, "status": 503, "prefix": "/d2/r/hana/backint/file",
                                          "method": "DELETE"})
        r = self.delete(['#EBID "ebiddata" "%s"' % self.data, '#EBID "ebidlog" "%s"' % self.log])
        self.assertEqual(r.output.splitlines(), [
            software_id(),
            "#DEBUG Failed to remove backup file ebiddata from backint catalog",
            '#ERROR "%s"' % self.data,
            '#DELETED "ebidlog" "%s"' % self.log])
        self.assertEqual(r.exit, 1)
        self.assertEqual(self.remaining(), ["ebiddata", "ebidquoted"])

    def test_unreadable_catalog_is_an_error_not_a_miss(self):
        self.srv.fault(count=100, status=503)
        r = self.delete(['#EBID "ebiddata" "%s"' % self.data, '#EBID "ebidlog" "%s"' % self.log])
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.errors(), [("Failed to look up backup file ebiddata in the catalogs\n", self.data)])
        self.assertEqual(r.by_keyword("#NOTFOUND") + r.by_keyword("#DELETED"), [])
        self.srv.clear_faults()
        self.assertEqual(self.remaining(), ["ebiddata", "ebidlog", "ebidquoted"])

    def test_unreadable_backint_catalog_is_an_error_even_when_the_sets_know_the_ebid(self):
        set_file = self.pipe("COMPLETE_databackup_5_1")
        self.srv.fault(count=100, status=503, prefix="/d2/r/hana/backint/file")
        r = self.delete(["#EBID ebidset %s" % bf.quote(set_file)])
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.errors(), [("Failed to look up backup file ebidset in the catalogs\n", set_file)])
        self.assertEqual(r.by_keyword("#DELETED"), [])

    def test_transient_failures_are_retried(self):
        self.srv.fault(count=2, status=503, prefix="/d2/r/hana/backint/file")
        self.srv.fault(count=1, drop=True, prefix="/d2/r/hana/backint/file")
        r = self.delete(['#EBID "ebiddata" "%s"' % self.data])
        self.assertEqual(r.output.splitlines()[1:], ['#DELETED "ebiddata" "%s"' % self.data])
        self.assertEqual(r.exit, 0)

    def test_malformed_input(self):
        r = self.delete([], in_file_text=software_id() + '\n#EBID "onlyanebid"\n#NULL %s\n' % self.data)
        self.assertEqual((r.exit, r.output), (1, '#DEBUG Input file is empty\n#ERROR "NULL"\n'))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
