#!/usr/bin/python3
"""Log and catalog backups through hana-backint, end to end in the sandbox:
the ondemand configuration the agent's log backup job leaves (database file,
instance-wide file), the job it registers and the start it enqueues on the
server, and the fallbacks to hana.conf."""
import os
import shutil
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402

SID = "HXB"
JOB_DEF = "0f9e8d7c-6b5a-4938-8271-605f4e3d2c1b"
POOLS = "/var/opt/corvane/test-log-pools"
ENQUEUE = "/d2/r/hana/backint/job/enqueue"


class BackintLogBackup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        cls.srv = cls.env.backupd
        cls.landscape = cls.env.landscape_id()

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        shutil.rmtree(POOLS, ignore_errors=True)
        self.env.make_pool_dir(POOLS)
        self.pool_dir = self.env.make_pool_dir(POOLS + "/pool")
        self.local_dir = self.env.make_pool_dir(POOLS + "/local")
        self.env.write_hana_conf(None)
        for db in ("T01", "SYSTEMDB", ""):
            self.env.write_ondemand(db, None)
        self.env.write_job_activity(JOB_DEF, 3)  # running
        self.srv.clear_faults()
        self.srv.clear_requests()
        self.known_jobs = {j["uuid"] for j in self.srv.jobs(bf.HOST_UUID)}

    def ondemand(self, **changes):
        conf = {"location": self.pool_dir, "type": "log", "host_uuid": bf.HOST_UUID,
                "job_definition_uuid": JOB_DEF, "uid": "uid-7", "pool_uuid": "", "compression": "zstd",
                "compression_level": 2, "io_ctl": {"max_seconds_retry": 20, "server_side_dedup": False}}
        conf.update(changes)
        return {k: v for k, v in conf.items() if v is not None}

    def new_jobs(self):
        return [j for j in self.srv.jobs(bf.HOST_UUID) if j["uuid"] not in self.known_jobs]

    def enqueue_requests(self):
        return [q for q in self.srv.requests() if q["path"] == ENQUEUE]

    def log_backup(self, database, name, backup_id, level="LOG", size=90000):
        sources = [(self.env.pipe_path(database, name), bf.pattern(backup_id, size))]
        r = self.env.backup(database, level, sources, backup_id=backup_id)
        return r, sources

    def assert_saved_below(self, r, sources, directory, suffix=""):
        self.assertEqual(r.exit, 0, r.output + r.stderr)
        self.assertEqual({p: s for p, (_, s) in r.saved().items()}, {p: len(d) for p, d in sources})
        self.assertEqual(bf.files_below(directory), sorted(os.path.basename(p) + suffix for p, _ in sources))
        for p, d in sources:
            self.assertEqual(bf.object_data(os.path.join(directory, os.path.basename(p) + suffix)), d)

    def test_database_ondemand_file_registers_a_job_and_enqueues_a_start(self):
        path = self.env.write_ondemand("T01", self.ondemand())
        self.env.write_ondemand("", self.ondemand(location="/wrong"))
        r, sources = self.log_backup("T01", "log_backup_3_0_1000_2000.55", 55)
        self.assert_saved_below(r, sources, "%s/%s/%s/T01/55" % (self.pool_dir, bf.HOST_UUID, self.landscape),
                                ".zst")
        self.assertIn("#DEBUG Load ondemand conf for HDB00 T01, conf is %s\n" % path, r.output)
        self.assertIn("#DEBUG Backup HANA log data to %s/%s/%s/T01/55\n" % (self.pool_dir, bf.HOST_UUID,
                                                                         self.landscape), r.output)
        jobs = self.new_jobs()
        self.assertEqual(len(jobs), 1)
        job = jobs[0]
        self.assertEqual((job["type"], job["database"], job["location"], job["database_backup_id"],
                          job["host_uuid"], job["compression"], job["compression_level"], job["sid"],
                          job["landscape_id"], job["job_act_id"]),
                         ("log", "T01", self.pool_dir, 55, bf.HOST_UUID, "zstd", 2, SID, self.landscape,
                          job["uuid"]))
        self.assertEqual(job["extended_attrs"]["io_ctl"], {"max_seconds_retry": 20, "server_side_dedup": False})
        self.assertIn("backup_time", job["extended_attrs"])
        self.assertEqual([f["job_uuid"] for f in self.srv.files(bf.HOST_UUID) if f["job_uuid"] == job["uuid"]],
                         [job["uuid"]])
        # The job is registered, then its start enqueued, before any file.
        paths = [(q["method"], q["path"]) for q in self.srv.requests()]
        self.assertEqual(paths, [("POST", "/d2/r/hana/backint/job"), ("POST", ENQUEUE),
                                 ("POST", "/d2/r/hana/backint/file")])
        body = self.enqueue_requests()[0]["body"]
        if isinstance(body, str):
            import json
            body = json.loads(body)
        self.assertEqual(list(body.items()), [("action", "start"), ("backint_job_uuid", job["uuid"]),
                                              ("backupd_job_uuid", JOB_DEF), ("uid", "uid-7"),
                                              ("host_uuid", bf.HOST_UUID)])

    def test_instance_wide_file_serves_a_database_without_its_own_and_catalog_backups(self):
        path = self.env.write_ondemand("", self.ondemand(compression=None, compression_level=None))
        r, sources = self.log_backup("SYSTEMDB", "log_backup_0_0_0_0.61", 61, level="CATALOG")
        self.assert_saved_below(r, sources, "%s/%s/%s/SYSTEMDB/61" % (self.pool_dir, bf.HOST_UUID,
                                                                      self.landscape))
        self.assertIn("#DEBUG Load ondemand conf for HDB00 SYSTEMDB, conf is %s\n" % path, r.output)
        # HANA reads the version line first: the notes of the set-up follow it.
        self.assertTrue(r.output.startswith('#SOFTWAREID "backint 1.50" "HANA HDB server 2.00.070.00.1700000000"\n'),
                        r.output)
        self.assertEqual(len(self.enqueue_requests()), 1)
        self.assertEqual([j["type"] for j in self.new_jobs()], ["log"])

    def test_every_call_is_a_job_of_its_own(self):
        self.env.write_ondemand("T01", self.ondemand(compression=None))
        for backup_id in (70, 71):
            r, _ = self.log_backup("T01", "log_backup_3_0_%d_%d.%d" % (backup_id, backup_id + 1, backup_id),
                                   backup_id)
            self.assertEqual(r.exit, 0, r.output)
        jobs = self.new_jobs()
        self.assertEqual(sorted(j["database_backup_id"] for j in jobs), [70, 71])
        self.assertEqual(len({j["uuid"] for j in jobs}), 2)
        self.assertEqual(sorted(q["body"]["backint_job_uuid"] if isinstance(q["body"], dict) else ""
                                for q in self.enqueue_requests()), sorted(j["uuid"] for j in jobs))

    def test_inactive_job_definition_falls_back_to_hana_conf(self):
        self.env.write_ondemand("T01", self.ondemand())
        self.env.write_job_activity(JOB_DEF, 19)  # disabled
        self.env.write_hana_conf(self.local_dir)
        r, sources = self.log_backup("T01", "log_backup_3_0_1_2.80", 80)
        self.assert_saved_below(r, sources, "%s/%s/T01/80" % (self.local_dir, self.landscape))
        self.assertIn("#DEBUG The job in backupd is not active\n", r.output)
        self.assertEqual(self.enqueue_requests(), [])
        jobs = self.new_jobs()
        self.assertEqual([(j["type"], j["host_uuid"]) for j in jobs],
                         [("log", "00000000-0000-0000-0000-000000000000")])

    def test_incomplete_or_broken_ondemand_files_fall_back_to_hana_conf(self):
        self.env.write_hana_conf(self.local_dir)
        cases = [(self.ondemand(uid=None), '#DEBUG Failed to load ondemand conf, member "uid" is missing\n'),
                 (self.ondemand(pool_uuid=5), '#DEBUG Failed to load ondemand conf, member "pool_uuid" is not a '
                                              'string\n'),
                 ('{"location": ', "#DEBUG Failed to parse ondemand config file\n")]
        for backup_id, (conf, message) in enumerate(cases, start=90):
            self.env.write_ondemand("T01", conf)
            r, sources = self.log_backup("T01", "log_backup_3_0_1_2.%d" % backup_id, backup_id)
            self.assert_saved_below(r, sources, "%s/%s/T01/%d" % (self.local_dir, self.landscape, backup_id))
            self.assertIn(message, r.output)
        self.assertEqual(self.enqueue_requests(), [])

    def test_no_ondemand_file_and_no_hana_conf(self):
        r, _ = self.log_backup("T01", "log_backup_3_0_1_2.95", 95)
        self.assertEqual(r.exit, 1)
        self.assertIn("#DEBUG Failed to load ondemand conf file %s, file does not exist\n"
                      % self.env.ondemand_path(""), r.output)
        self.assertEqual(r.errors()[-1], ("Failed to load configuration\n", r.argv[r.argv.index("-i") + 1]))
        self.assertEqual(r.saved(), {})
        self.assertEqual(self.new_jobs(), [])

    def test_refused_enqueue_is_only_noted(self):
        self.env.write_ondemand("T01", self.ondemand(compression=None))
        self.srv.fault(count=1, status=500, prefix=ENQUEUE)
        r, sources = self.log_backup("T01", "log_backup_3_0_5_6.96", 96)
        self.assert_saved_below(r, sources, "%s/%s/%s/T01/96" % (self.pool_dir, bf.HOST_UUID, self.landscape))
        job = self.new_jobs()[0]
        self.assertIn("#DEBUG Failed to start job %s, backint job is %s, status = 500\n"
                      "#DEBUG failed to submit job to backupd\n" % (JOB_DEF, job["uuid"]), r.output)
        self.assertEqual(len(self.enqueue_requests()), 1)  # never retried

    def test_announced_size_is_a_hint_for_log_backups_too(self):
        self.env.write_ondemand("T01", self.ondemand(compression=None))
        name = "log_backup_3_0_7_8.97"
        sources = [(self.env.pipe_path("T01", name), bf.pattern(97, 100000))]
        r = self.env.backup("T01", "LOG", sources, backup_id=97, sizes=True, die_after={sources[0][0]: 1000})
        self.assertEqual(r.exit, 0, r.output)
        self.assertEqual(r.saved()[sources[0][0]][1], 1000)
        self.assertIn("#DEBUG %s was announced with 100000 bytes and delivered 1000\n" % sources[0][0], r.output)
        jobs = self.new_jobs()
        self.assertEqual(len(jobs), 1)
        self.assertEqual([f["size"] for f in self.srv.files(bf.HOST_UUID) if f["job_uuid"] == jobs[0]["uuid"]],
                         [1000])


if __name__ == "__main__":
    unittest.main()
