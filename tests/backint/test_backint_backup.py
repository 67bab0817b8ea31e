#!/usr/bin/python3
"""Data backups through hana-backint, end to end in the sandbox: HANA's
<sid>adm runs the program through the link below /usr/sap/<SID>, pipes are
written while it runs, and the objects, the server's backint catalog and the
output file are checked. Faults: server errors and dropped connections,
the server down, a full pool, a writer that dies, malformed input."""
import json
import os
import shutil
import subprocess
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402

SID = "HXA"
JOB = "6f1e2d3c4b5a49788796a5b4c3d2e1f0"
POOL = "7a6b5c4d-3e2f-4a1b-9c8d-7e6f5a4b3c2d"
POOLS = "/var/opt/corvane/test-pools"


def write_restore_ext_conf(conf):
    """What the agent's restore job leaves for the restore handler."""
    ext = "%s/catalog/%s@T01-restore-ext-conf" % (sb.HANA_WORK_DIR, SID)
    os.makedirs(os.path.dirname(ext), mode=0o755, exist_ok=True)
    with open(ext, "w") as f:
        json.dump(conf, f)
    os.chmod(ext, 0o644)


class BackintDataBackup(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        cls.srv = cls.env.backupd
        cls.landscape = cls.env.landscape_id()

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        if os.path.ismount(POOLS + "/full"):
            subprocess.run(["umount", POOLS + "/full"], check=True)
        shutil.rmtree(POOLS, ignore_errors=True)
        self.env.make_pool_dir(POOLS)
        self.pool_dir = self.env.make_pool_dir(POOLS + "/pool")
        self.local_dir = self.env.make_pool_dir(POOLS + "/local")
        self.env.write_hana_conf(None)
        if self.srv.proc is None or self.srv.proc.poll() is not None:
            self.srv.start()
            self.env.point_agent_at(self.srv.port)
        self.srv.clear_faults()
        self.srv.clear_requests()
        # The server's catalog lives as long as the class: tests look at what they added.
        self.known_files = {f["id"] for f in self.srv.files(bf.HOST_UUID)}
        self.known_jobs = {j["uuid"] for j in self.srv.jobs(bf.HOST_UUID)} - {JOB}

    # --- helpers --------------------------------------------------------
    def add_job(self, uuid=JOB, pool_uuid="", compression="", io_ctl=None, location=""):
        attrs = {"io_ctl": io_ctl} if io_ctl is not None else {}
        job = {"uuid": uuid, "host_uuid": bf.HOST_UUID, "job_act_id": uuid, "type": "complete",
               "location": location, "database": "T01", "compression": compression, "compression_level": 3,
               "extended_attrs": attrs, "sid": SID, "pool_uuid": pool_uuid, "landscape_id": self.landscape,
               "database_backup_id": 0, "check_exist": False}
        status, answer = self.srv.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)
        self.assertEqual(status, 200, answer)

    def pipes(self, names, seed=1, size=300000, database="T01"):
        return [(self.env.pipe_path(database, n), bf.pattern(seed + i, size + 4093 * i))
                for i, n in enumerate(names)]

    def assert_saved(self, result, sources):
        self.assertEqual(result.exit, 0, result.output + result.stderr)
        saved = result.saved()
        self.assertEqual(sorted(saved), sorted(p for p, _ in sources))
        for path, data in sources:
            self.assertEqual(saved[path][1], len(data))
            self.assertRegex(saved[path][0], "^[0-9a-f]{32}$")

    def assert_objects(self, directory, sources, suffix=""):
        self.assertEqual(bf.files_below(directory),
                         sorted(os.path.basename(p) + suffix for p, _ in sources))
        for path, data in sources:
            self.assertEqual(bf.object_data(os.path.join(directory, os.path.basename(path) + suffix)), data)

    def catalog_files(self):
        return [f for f in self.srv.files(bf.HOST_UUID) if f["id"] not in self.known_files]

    # --- agent job --------------------------------------------------------
    def test_complete_backup_in_an_agent_job_pool_with_compression(self):
        self.srv.add_pool(POOL, url=self.pool_dir)
        io_ctl = {"max_seconds_retry": 30, "resumption_buffer_size": 1048576, "server_side_dedup": False,
                  "dest_rate_limits": json.dumps([{"start_time": 0, "end_time": 86399,
                                                   "max_bytes_per_second": 0}])}
        self.add_job(pool_uuid=POOL, compression="zstd", io_ctl=io_ctl, location="/nowhere")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1", "COMPLETE_DATA_BACKUP_databackup_3_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1001,
                            tool_option="a=1;job_uuid=%s;b=2" % JOB)
        self.assert_saved(r, sources)
        self.assertEqual(r.output.splitlines()[0],
                         '#SOFTWAREID "backint 1.50" "HANA HDB server 2.00.070.00.1700000000"')
        self.assertNotIn("#ERROR", r.output)
        directory = "%s/%s/%s/T01/1001" % (self.pool_dir, bf.HOST_UUID, self.landscape)
        self.assert_objects(directory, sources, ".zst")
        self.assertEqual(bf.object_info(os.path.join(directory, os.path.basename(sources[0][0]) + ".zst"))[:2],
                         (3, 3))
        files = self.catalog_files()
        saved = r.saved()
        # Registered as each stream ends: in any order.
        self.assertEqual(sorted((f["job_uuid"], f["filename"], f["origin_path"], f["size"], f["extern_backup_id"],
                                 f["source_type"], f["storage_path"]) for f in files),
                         sorted((JOB, os.path.basename(p), p, len(d), saved[p][0], "pipe",
                                 "%s/%s/T01/1001/%s.zst" % (bf.HOST_UUID, self.landscape, os.path.basename(p)))
                                for p, d in sources))
        self.assertTrue(all(f["storage_size"] > 128 for f in files))
        # The records say where the objects are: the pool, not the job's nominal location.
        self.assertEqual({(f["pool_uuid"], f["location"], f["database_backup_id"]) for f in files},
                         {(POOL, self.pool_dir, 1001)})
        job = [j for j in self.srv.jobs(bf.HOST_UUID) if j["uuid"] == JOB][0]
        self.assertEqual(job["database_backup_id"], 1001)

    def test_restore_gives_back_every_byte(self):
        self.srv.add_pool(POOL, url=self.pool_dir)
        self.add_job(pool_uuid=POOL, compression="zstd", location="/nowhere")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1", "COMPLETE_DATA_BACKUP_databackup_3_1"],
                             seed=40, size=5000000)
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1040, tool_option="job_uuid=%s;" % JOB)
        self.assert_saved(r, sources)
        saved = r.saved()
        entries = ['#EBID "%s" %s' % (saved[p][0], bf.quote(p)) for p, _ in sources]
        write_restore_ext_conf({"pool_uuid": POOL})
        back = self.env.restore("T01", entries, [p for p, _ in sources])
        self.assertEqual(back.exit, 0, back.output + back.stderr)
        self.assertEqual(sorted(back.by_keyword("#RESTORED")), sorted([saved[p][0], p] for p, _ in sources))
        for path, data in sources:
            self.assertTrue(bytes(back.pipes[path].content) == data, path)

    def test_delta_backups_in_an_agent_job_and_the_old_protocol(self):
        self.add_job(location=self.pool_dir)
        for level, word, backup_id, version in (("INCREMENTAL", "incremental", 1002, "1.04"),
                                                ("DIFFERENTIAL", "differential", 1003, "1.50")):
            name = "%s_DATA_BACKUP_databackup_%s_1001_%d_3_1" % (level, word, backup_id)
            sources = self.pipes([name], seed=backup_id, size=70000)
            r = self.env.backup("T01", level, sources, backup_id=backup_id, tool_option="job_uuid=%s;" % JOB,
                                software_id=version)
            self.assert_saved(r, sources)
            self.assertEqual(r.output.splitlines()[0],
                             '#SOFTWAREID "backint %s" "HANA HDB server 2.00.070.00.1700000000"' % version)
            self.assert_objects("%s/%s/%s/T01/%d" % (self.pool_dir, bf.HOST_UUID, self.landscape, backup_id),
                                sources)
        self.assertEqual(len(self.catalog_files()), 2)

    # --- without an agent job ------------------------------------------------
    def test_without_a_usable_job_uuid_hana_conf_gives_the_location(self):
        self.add_job(location=self.pool_dir)
        self.env.write_hana_conf(self.local_dir)
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1"], database="SYSTEMDB")
        r = self.env.backup("SYSTEMDB", "COMPLETE", sources, backup_id=1010, tool_option="xjob_uuid=%s" % JOB)
        self.assert_saved(r, sources)
        directory = "%s/%s/SYSTEMDB/1010" % (self.local_dir, self.landscape)
        self.assertIn("#DEBUG Backup HANA data to %s/%s/SYSTEMDB/1010\n" % (self.local_dir, self.landscape),
                      r.output)
        self.assert_objects(directory, sources)
        jobs = [j for j in self.srv.jobs(bf.HOST_UUID) if j["uuid"] not in self.known_jobs | {JOB}]
        self.assertEqual(len(jobs), 1)
        self.assertEqual((jobs[0]["type"], jobs[0]["host_uuid"], jobs[0]["database"], jobs[0]["location"],
                          jobs[0]["database_backup_id"], jobs[0]["sid"]),
                         ("complete", "00000000-0000-0000-0000-000000000000", "SYSTEMDB", self.local_dir, 1010,
                          SID))
        self.assertEqual([f["job_uuid"] for f in self.catalog_files()], [jobs[0]["uuid"]])
        # The agent's job was not touched.
        self.assertEqual([j["database_backup_id"] for j in self.srv.jobs(bf.HOST_UUID) if j["uuid"] == JOB], [0])

    def test_unknown_job_without_hana_conf_fails_before_any_data(self):
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1011, tool_option="job_uuid=feedfeed;")
        self.assertEqual(r.exit, 1)
        self.assertIn("#DEBUG Failed to get job info with uuid 'feedfeed'\n", r.output)
        self.assertEqual(r.errors()[-1], ("Failed to load configuration\n", r.argv[r.argv.index("-i") + 1]))
        self.assertEqual(r.saved(), {})
        self.assertEqual(self.catalog_files(), [])

    # --- faults -----------------------------------------------------------
    def test_server_errors_and_dropped_connections_are_retried(self):
        self.add_job(location=self.pool_dir)
        self.srv.clear_requests()
        self.srv.fault(count=2, status=503, prefix="/d2/r/hana/backint/job", method="GET")
        self.srv.fault(count=1, drop=True, prefix="/d2/r/hana/backint/file")
        self.srv.fault(count=1, drop="silent", prefix="/d2/r/hana/backint/file")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1020, tool_option="job_uuid=%s;" % JOB)
        self.assert_saved(r, sources)
        methods = [(q["method"], q["path"], q["status"]) for q in self.srv.requests()]
        self.assertEqual(methods[:3], [("GET", "/d2/r/hana/backint/job", 503)] * 2 +
                         [("GET", "/d2/r/hana/backint/job", 200)])
        posts = [m for m in methods if m[1] == "/d2/r/hana/backint/file"]
        self.assertEqual([p[2] for p in posts], ["dropped", "dropped", 200])
        self.assertEqual(len(self.catalog_files()), 1)

    def test_retried_registration_whose_answer_was_lost_records_one_file(self):
        self.add_job(location=self.pool_dir)
        self.srv.clear_requests()
        self.srv.fault(count=1, drop="after", prefix="/d2/r/hana/backint/file")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1023, tool_option="job_uuid=%s;" % JOB)
        self.assert_saved(r, sources)
        posts = [q["status"] for q in self.srv.requests() if q["path"] == "/d2/r/hana/backint/file"]
        self.assertEqual(posts, ["dropped after processing", 200])
        files = self.catalog_files()
        self.assertEqual(len(files), 1)
        self.assertEqual(files[0]["extern_backup_id"], list(r.saved().values())[0][0])

    def test_registration_failing_for_good_is_an_error_of_its_source_only(self):
        self.add_job(location=self.pool_dir)
        self.srv.fault(count=4, status=503, prefix="/d2/r/hana/backint/file")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1", "COMPLETE_DATA_BACKUP_databackup_5_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1021, tool_option="job_uuid=%s;" % JOB)
        self.assertEqual(r.exit, 1)
        # The streams register one after another: the first to finish gets
        # the four refusals, the other one is recorded.
        ((text, failed),) = r.errors()
        self.assertEqual(text, "Failed to add file info to database\n")
        other = [s for s, _ in sources if s != failed]
        self.assertEqual(list(r.saved()), other)
        self.assertEqual([f["origin_path"] for f in self.catalog_files()], other)

    def test_registration_lost_for_good_leaves_neither_object_nor_record(self):
        self.add_job(location=self.pool_dir)
        # backupd stores the record every time, but no answer arrives.
        self.srv.fault(count=100, drop="after", prefix="/d2/r/hana/backint/file", method="POST")
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1027, tool_option="job_uuid=%s;" % JOB)
        self.assertEqual(r.exit, 1, [q["status"] for q in self.srv.requests()])
        self.assertEqual(r.errors(), [("Failed to add file info to database\n", sources[0][0])])
        self.assertEqual(self.catalog_files(), [])
        self.assertEqual(bf.files_below(self.pool_dir), [])

    def test_sources_with_one_base_name_are_each_restored(self):
        self.add_job(location=self.pool_dir)
        name = "COMPLETE_DATA_BACKUP_databackup_0_1"
        first = self.env.pipe_path("T01", name)
        second = first.replace("/backint/", "/backint/copy/")
        sources = [(first, bf.pattern(61, 200000)), (second, bf.pattern(62, 300000))]
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1028, tool_option="job_uuid=%s;" % JOB)
        self.assert_saved(r, sources)
        saved = r.saved()
        entries = ['#EBID "%s" %s' % (saved[p][0], bf.quote(p)) for p, _ in sources]
        write_restore_ext_conf({})
        back = self.env.restore("T01", entries, [p for p, _ in sources])
        self.assertEqual(back.exit, 0, back.output + back.stderr)
        for path, data in sources:
            self.assertTrue(bytes(back.pipes[path].content) == data, path)

    def test_server_down_at_start(self):
        self.env.write_hana_conf(self.local_dir)
        self.srv.stop()
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1"])
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1022, tool_option="job_uuid=%s;" % JOB)
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.saved(), {})
        self.assertEqual(r.errors()[-1], ("Failed to load configuration\n", r.argv[r.argv.index("-i") + 1]))
        self.assertEqual(bf.files_below(self.local_dir), [])

    def test_full_pool_fails_the_source_and_keeps_what_was_saved(self):
        full = self.env.make_pool_dir(POOLS + "/full")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0777", "tmpfs", full], check=True)
        self.add_job(location=full)
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1"], size=100000)
        sources += self.pipes(["COMPLETE_DATA_BACKUP_databackup_3_1"], seed=7, size=3000000)
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1023, tool_option="job_uuid=%s;" % JOB)
        self.assertEqual(r.exit, 1)
        self.assertEqual(list(r.saved()), [sources[0][0]])
        errors = r.errors()
        self.assertEqual(len(errors), 1)
        self.assertTrue(errors[0][0].startswith("Failed to write data to storage, "), errors)
        self.assertEqual(errors[0][1], sources[1][0])
        self.assert_objects("%s/%s/%s/T01/1023" % (full, bf.HOST_UUID, self.landscape), sources[:1])
        self.assertEqual([f["origin_path"] for f in self.catalog_files()], [sources[0][0]])

    def test_announced_size_is_a_hint_and_the_delivered_bytes_are_saved(self):
        self.add_job(location=self.pool_dir)
        sources = self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1", "COMPLETE_DATA_BACKUP_databackup_3_1",
                              "COMPLETE_DATA_BACKUP_databackup_5_1"], size=200000)
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=1024, tool_option="job_uuid=%s;" % JOB,
                            sizes=True, die_after={sources[1][0]: 50000})
        self.assertEqual(r.exit, 0, r.output)
        saved = r.saved()
        sizes = [len(sources[0][1]), 50000, len(sources[2][1])]
        self.assertEqual([saved[s[0]][1] for s in sources], sizes)
        self.assertIn("#DEBUG %s was announced with %d bytes and delivered 50000\n"
                      % (sources[1][0], len(sources[1][1])), r.output)
        self.assertEqual(r.errors(), [])
        self.assertEqual(sorted(f["size"] for f in self.catalog_files()), sorted(sizes))

    def test_malformed_input_file(self):
        self.add_job(location=self.pool_dir)
        r = self.env.run("backup", "COMPLETE", [], "T01", backup_id=1025,
                         in_file_text='#SOFTWAREID "backint 1.50"\n#PIPE\n\x00\xff garbage "\n#TOOLOPTION\n')
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.output, '#DEBUG Failed to read the input line of NULL\n#ERROR "NULL"\n'
                                   '#DEBUG Failed to get input file\n#ERROR "%s"\n' % r.argv[r.argv.index("-i") + 1])
        self.assertEqual(self.catalog_files(), [])
        self.assertEqual(bf.files_below(self.pool_dir), [])

    def test_log_level_never_reaches_the_data_handler_and_unknown_levels_are_refused(self):
        r = self.env.backup("T01", "FULL", self.pipes(["COMPLETE_DATA_BACKUP_databackup_0_1"]), backup_id=1026)
        self.assertEqual(r.exit, 1)
        self.assertEqual(r.errors(), [("Level 0 is not supported in backup handler\n",
                                       r.argv[r.argv.index("-i") + 1])])


if __name__ == "__main__":
    unittest.main()
