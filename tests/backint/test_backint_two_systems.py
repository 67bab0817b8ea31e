#!/usr/bin/python3
"""Two multi-container systems on one host, one agent (so one owner at the
server), both with a tenant T01 and HANA's default object names: restores,
inquiries and deletions of one system never reach the other's backups, by
name or by EBID; a restore from the other system works once the restore
configuration names it as the origin."""

import sys
import unittest

import backint_fixture as bf
import hana_sim
import sandbox_env as sb
from test_backint_restore import SCRATCH, clear_agent_files, software_id, write_restore_conf

NAME = "COMPLETE_DATA_BACKUP_databackup_0_1"


class TwoSystemsTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sb.require_sandbox()
        cls.a = bf.Backint_Env.setup(sid="HTA", tenants=["T01"])
        try:
            hana_sim.install(sid="HTB", instance=1, multi_container=True, tenants=["T01"])
            hana_sim.link_backint("HTB")
            cls.b = bf.Backint_Env("HTB", True, cls.a.backupd, hana_sim)
            cls.a.write_hana_conf(bf.Backint_Env.make_pool_dir(SCRATCH + "/two-systems-pool"))
            cls.data = {}
            cls.ebid = {}
            # The other system's backup is the newer one.
            for env, seed, backup_id in ((cls.a, 1, 10), (cls.b, 2, 20)):
                data = bf.pattern(seed, 50000)
                pipe = env.pipe_path("T01", NAME)
                r = env.backup("T01", "COMPLETE", [(pipe, data)], backup_id=backup_id)
                assert r.exit == 0, r.output + r.stderr
                cls.data[env.sid] = data
                cls.ebid[env.sid] = r.saved()[pipe][0]
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        hana_sim.uninstall("HTB")
        cls.a.teardown()

    def setUp(self):
        clear_agent_files()
        write_restore_conf("HTA", "T01", {})

    def run_a(self, function, entries, readers=()):
        return self.a.run(function, None, [software_id()] + entries, "T01", [bf.Pipe(p) for p in readers])

    def test_lookups_stay_within_the_callers_system(self):
        pipe = self.a.pipe_path("T01", NAME)
        r = self.run_a("restore", ["#NULL %s" % bf.quote(pipe)], [pipe])
        self.assertEqual(r.output.splitlines()[1:], ['#RESTORED "%s" "%s"' % (self.ebid["HTA"], pipe)], r.output)
        self.assertTrue(bytes(r.pipes[pipe].content) == self.data["HTA"], "the other system's data was restored")

        r = self.run_a("restore", ["#EBID %s %s" % (self.ebid["HTB"], bf.quote(pipe))])
        self.assertEqual(r.output.splitlines()[1:], ['#NOTFOUND "%s"' % pipe])

        r = self.run_a("inquire", ["#NULL %s" % bf.quote(pipe), "#NULL", "#EBID %s %s" % (self.ebid["HTB"], bf.quote(pipe))])
        self.assertEqual([t[:2] for t in r.by_keyword("#BACKUP")], [[self.ebid["HTA"], pipe]] * 2, r.output)
        self.assertEqual(r.by_keyword("#NOTFOUND"), [[self.ebid["HTB"], pipe]])

        r = self.run_a("delete", ["#EBID %s %s" % (self.ebid["HTB"], bf.quote(pipe))])
        self.assertEqual(r.output.splitlines()[1:], ['#NOTFOUND "%s" "%s"' % (self.ebid["HTB"], pipe)])
        self.assertIn(self.ebid["HTB"], [f["extern_backup_id"] for f in self.a.backupd.files()])

    def test_other_system_only_as_the_configured_origin(self):
        origin = self.b.pipe_path("T01", NAME)
        pipe = self.a.pipe_path("T01", NAME)
        entries = ["#EBID %s %s %s" % (self.ebid["HTB"], bf.quote(origin), bf.quote(pipe))]
        r = self.run_a("restore", entries)
        self.assertEqual(r.output.splitlines()[1:], ['#NOTFOUND "%s"' % origin])
        write_restore_conf("HTA", "T01", {"origin_sid": "HTB"})
        r = self.run_a("inquire", ["#EBID %s %s" % (self.ebid["HTB"], bf.quote(origin))])
        self.assertEqual(r.by_keyword("#BACKUP")[0][:2], [self.ebid["HTB"], origin], r.output)
        r = self.run_a("restore", entries, [pipe])
        self.assertEqual(r.output.splitlines()[1:], ['#RESTORED "%s" "%s"' % (self.ebid["HTB"], origin)], r.output)
        self.assertTrue(bytes(r.pipes[pipe].content) == self.data["HTB"], "pipe content differs")


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
