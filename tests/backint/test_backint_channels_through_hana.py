#!/usr/bin/python3
"""Backups and recoveries with several channels: the simulated HANA writes
and reads every pipe of one hana-backint call at the same time (state
backint.channels), may read restore pipes one after another in reverse
order (backint.restore_order) and gives up on a pipe that hana-backint does
not open within backint.response_timeout.

hana-backint serves the pipes of one call concurrently ("max_streams" in
the job's "io_ctl" or in hana.conf "backint"; with 1 one after another) and
waits for a pipe or its reader at most hana.conf "backint" /
"pipe_timeout" seconds (180 by default)."""

import json
import os
import shutil
import subprocess
import sys
import threading
import time
import unittest
import uuid

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402
import hana_sim  # noqa: E402
from hana_sim import backup as sim_backup  # noqa: E402
from test_backint_restore import clear_agent_files, write_restore_conf  # noqa: E402

SID = "HCH"
POOL_DIR = "/var/opt/corvane/test-hana-channels-pool"
PREFIX = "COMPLETE_DATA_BACKUP"
MIB = 1 << 20


# The test drives hdbsql as a DBA at a shell would, password and all.
os.environ["HANA_SIM_ALLOW_ARGV_PASSWORD"] = "1"


class ChannelsThroughHana(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        shutil.rmtree(POOL_DIR, ignore_errors=True)
        cls.env.make_pool_dir(POOL_DIR)
        write_restore_conf(SID, "T01", {"io_ctl": {"max_seconds_retry": 60}})
        # One service volume, so that 4 channels make exactly 4 pipes.
        with hana_sim.update_state(SID) as st:
            st["databases"]["T01"]["volumes"] = [{"volume": 3, "service": "indexserver"}]

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()
        clear_agent_files()

    def setUp(self):
        # A failed recovery leaves the tenant stopped.
        if not hana_sim.state(SID)["databases"]["T01"]["active"]:
            self.assertEqual(self.hdbsql("ALTER SYSTEM START DATABASE T01").returncode, 0)
        self.env.write_hana_conf(text="{}")
        self.add_job()
        self.configure(channels=4, data_size=4 * 256 * 1024)

    def configure(self, **backint):
        """Sets the simulator's backint settings; those not given are reset."""
        with hana_sim.update_state(SID) as st:
            for key in ("channels", "response_timeout", "restore_order", "pipe_sizes", "die_after"):
                st["backint"].pop(key, None)
            st["backint"].update(backint)

    def add_job(self, io_ctl=None):
        """A fresh agent job for the next backups."""
        self.job = uuid.uuid4().hex
        job = {"uuid": self.job, "host_uuid": bf.HOST_UUID, "job_act_id": self.job, "type": "complete",
               "location": POOL_DIR, "database": "T01", "compression": "", "sid": SID,
               "extended_attrs": {"io_ctl": io_ctl} if io_ctl else {}, "pool_uuid": "",
               "landscape_id": self.env.landscape_id(), "database_backup_id": 0, "check_exist": False}
        status, answer = self.env.backupd.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)
        self.assertEqual(status, 200, answer)

    def hdbsql(self, statement):
        return subprocess.run(["/usr/sap/%s/HDB00/exe/hdbsql" % SID, "-u", "SYSTEM", "-p", "Manager1", "-i", "00",
                               "-d", "SYSTEMDB", statement], capture_output=True, text=True, timeout=300)

    def backup(self):
        """(hdbsql result, HANA's catalog entry, the hana-backint call)."""
        r = self.hdbsql("BACKUP DATA FOR T01 USING BACKINT('%s') TOOLOPTION 'job_uuid=%s;'" % (PREFIX, self.job))
        entry = [e for e in hana_sim.backups(SID, "T01") if e["entry_type_name"] == "complete data backup"][-1]
        return r, entry, hana_sim.calls(SID, "hana-backint")[-1]

    def recover(self, backup_id):
        self.assertEqual(self.hdbsql("ALTER SYSTEM STOP DATABASE T01").returncode, 0)
        r = self.hdbsql("RECOVER DATA FOR T01 USING BACKUP_ID %d CLEAR LOG" % backup_id)
        return r, hana_sim.calls(SID, "hana-backint")[-1]

    def pipe(self, channel):
        return self.env.pipe_path("T01", "%s_databackup_3_%d" % (PREFIX, channel))

    def stored(self):
        """{origin path: record} of the backint catalog for the current job."""
        return {f["origin_path"]: f for f in self.env.backupd.files(bf.HOST_UUID) if f["job_uuid"] == self.job}

    def assert_stored_as_written(self, entry):
        records = self.stored()
        self.assertEqual(sorted(records), sorted(f["destination_path"] for f in entry["files"]))
        for f in entry["files"]:
            data = b"".join(sim_backup.generated(f["sim_seed"], f["backup_size"]))
            self.assertEqual(bf.object_data(os.path.join(POOL_DIR, records[f["destination_path"]]["storage_path"])),
                             data)

    @staticmethod
    def served(call):
        """The call's pipes in the order they were opened; None unless every
        pipe was opened and read or written to its end."""
        pipes = call["pipes"]
        if any(p["opened"] is None or p["closed"] is None for p in pipes):
            return None
        return sorted(pipes, key=lambda p: p["opened"])

    def one_after_another(self, call):
        """True when each pipe was opened only after the one before it ended."""
        pipes = self.served(call)
        return pipes is not None and all(b["opened"] >= a["closed"] for a, b in zip(pipes, pipes[1:]))

    def all_at_once(self, call):
        """True when every pipe was open before the first one ended."""
        pipes = self.served(call)
        return pipes is not None and max(p["opened"] for p in pipes) < min(p["closed"] for p in pipes)


    def test_four_channels_round_trip_through_the_sequential_backint(self):
        r, entry, call = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(call["input"][2:], ['#PIPE "%s"' % self.pipe(c) for c in (1, 2, 3, 4)])
        self.assertEqual(call["argv"][call["argv"].index("-c") + 1], "4")
        sizes = [f["backup_size"] for f in entry["files"]]
        self.assertEqual((sum(sizes), max(sizes) - min(sizes)), (4 * 256 * 1024 + 3 * 4093, 1))
        self.assert_stored_as_written(entry)

        r, call = self.recover(entry["backup_id"])
        self.assertEqual((r.returncode, r.stderr), (0, ""), call)
        self.assertEqual(sorted(call["output"][1:]), sorted('#RESTORED "%s" "%s"' % (f["external_backup_id"],
                                                                                   f["destination_path"])
                                                           for f in entry["files"]))
        self.assertEqual([p["error"] for p in call["pipes"]], [None] * 4)

    def test_max_streams_1_serves_the_pipes_one_after_another(self):
        # Every pipe has its reader at once; the data moves one pipe after
        # another: at 2 MiB/s a stream, the writers of 2 MiB pipes end about
        # a second apart (together, if the pipes moved at once).
        rate = json.dumps([{"start_time": 0, "end_time": 86399, "max_bytes_per_second": 2 * MIB}])
        self.add_job({"dest_rate_limits": rate})
        self.env.write_hana_conf(text=json.dumps({"backint": {"max_streams": 1}}))
        self.configure(channels=4, data_size=4 * 2 * MIB)
        r, entry, call = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertTrue(self.all_at_once(call), call["pipes"])
        closed = [p["closed"] for p in call["pipes"]]
        self.assertGreater(max(closed) - min(closed), 1.5, call["pipes"])
        self.assert_stored_as_written(entry)

    def test_every_pipe_is_opened_within_the_response_timeout_with_fewer_streams_than_channels(self):
        # 12 channels of 4 MiB at 1 MiB/s a stream, 4 streams: the last
        # pipes' data can only move after about 8 seconds, later than HANA
        # waits for a pipe to be opened (6 s). Every pipe gets its reader at
        # once, and the data still moves 4 pipes at a time.
        rate = json.dumps([{"start_time": 0, "end_time": 86399, "max_bytes_per_second": MIB}])
        self.add_job({"dest_rate_limits": rate, "max_streams": 4})
        self.configure(channels=12, data_size=12 * 4 * MIB, response_timeout=6)
        r, entry, call = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""), call["pipes"])
        self.assertEqual(len(call["pipes"]), 12)
        self.assertLess(max(p["opened"] for p in call["pipes"]), 6, call["pipes"])
        self.assertGreater(max(p["closed"] for p in call["pipes"]), 6, call["pipes"])
        self.assert_stored_as_written(entry)

    def test_concurrent_backup_with_one_source_failing_saves_the_others(self):
        # A writer that dies mid-stream looks like the end of its data (an
        # announced size is only a hint): saved with what it delivered. A
        # failure hana-backint sees, a registration the server keeps
        # refusing (four tries), fails that source alone.
        self.configure(channels=4, data_size=4 * 8 * MIB, pipe_sizes="exact",
                       die_after={"_databackup_3_2$": 3 * MIB})
        self.env.backupd.fault(count=4, status=503, prefix="/d2/r/hana/backint/file", method="POST")
        try:
            r, entry, call = self.backup()
        finally:
            self.env.backupd.clear_faults()
        self.assertEqual((r.returncode, entry["state_name"], call["exit"]), (1, "failed", 1))
        self.assertTrue(self.all_at_once(call), call["pipes"])
        text = "\n".join(call["output"]) + "\n"
        self.assertEqual(text.count("#ERROR"), 1, text)
        failed = [p for p in map(self.pipe, (1, 2, 3, 4)) if '#ERROR "%s"\n' % p in text]
        self.assertEqual(len(failed), 1, text)
        self.assertIn("#DEBUG Failed to add file info to database\n#ERROR \"%s\"\n" % failed[0], text)
        saved = {l.split('"')[3]: int(l.split()[-1]) for l in call["output"] if l.startswith("#SAVED")}
        others = [p for p in map(self.pipe, (1, 2, 3, 4)) if p != failed[0]]
        self.assertEqual(sorted(saved), others)
        if self.pipe(2) in saved:
            # The simulator sizes a volume by its number: the announced size
            # is the one on the input line, not the nominal 8 MiB.
            announced = int(next(l for l in call["input"] if self.pipe(2) in l).split()[-1])
            self.assertEqual(saved[self.pipe(2)], 3 * MIB)
            self.assertIn("#DEBUG %s was announced with %d bytes and delivered %d\n" % (self.pipe(2), announced,
                                                                                        3 * MIB), text)
        self.assertEqual(sorted(self.stored()), others)

    def test_concurrent_restore_read_in_reverse_order_one_after_another(self):
        self.configure(channels=4, data_size=4 * 2 * MIB)
        r, entry, _ = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # A hana-backint that opened the pipes in input order would wait for
        # a reader of the first pipe forever; HANA would give up after 60 s.
        self.configure(channels=4, data_size=4 * 2 * MIB, restore_order="reverse", response_timeout=60)
        r, call = self.recover(entry["backup_id"])
        self.assertEqual((r.returncode, r.stderr), (0, ""), call)
        self.assertTrue(self.one_after_another(call), call["pipes"])
        order = [p["path"] for p in sorted(call["pipes"], key=lambda p: p["opened"])]
        self.assertEqual(order, [self.pipe(c) for c in (4, 3, 2, 1)])

    def test_restore_pipe_without_reader_is_answered_with_an_error_in_bounded_time(self):
        self.configure(channels=3, data_size=3 * MIB)
        r, entry, _ = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.env.write_hana_conf(text=json.dumps({"backint": {"pipe_timeout": 2}}))
        files = entry["files"]
        targets = [self.env.pipe_path("T01", "target_%d" % i) for i in range(len(files))]
        entries = ['#EBID "%s" "%s" "%s"' % (f["external_backup_id"], f["destination_path"], t)
                   for f, t in zip(files, targets)]
        self.env.make_pipe(targets[0])  # exists, but nobody ever reads it
        try:
            start = time.monotonic()
            result = self.env.restore("T01", entries, targets[1:], timeout=60)
            self.assertLess(time.monotonic() - start, 30)
        finally:
            os.unlink(targets[0])
        self.assertEqual(result.exit, 1)
        self.assertEqual([e[1] for e in result.errors()], [files[0]["destination_path"]])
        self.assertEqual(sorted(t[1] for t in result.by_keyword("#RESTORED")),
                         sorted(f["destination_path"] for f in files[1:]))
        for f, t in zip(files[1:], targets[1:]):
            self.assertEqual(bytes(result.pipes[t].content),
                             b"".join(sim_backup.generated(f["sim_seed"], f["backup_size"])))

    def test_restore_readers_that_drain_in_another_order_or_never_do_not_stall_the_call(self):
        # Four entries, two streams. The reader has every pipe open: it
        # drains the last three last to first, waiting first for pipes still
        # queued behind the two streams, and never reads the first one.
        self.configure(channels=4, data_size=4 * 4 * MIB)
        r, entry, _ = self.backup()
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.env.write_hana_conf(text=json.dumps({"backint": {"max_streams": 2, "pipe_timeout": 3}}))
        files = entry["files"]
        targets = [self.env.pipe_path("T01", "drained_%d" % i) for i in range(len(files))]
        for t in targets:
            self.env.make_pipe(t)
        fds = [os.open(t, os.O_RDONLY | os.O_NONBLOCK) for t in targets]
        contents = {}

        def drain():
            for i in (3, 2, 1):
                data = bytearray()
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    try:
                        chunk = os.read(fds[i], MIB)
                    except BlockingIOError:
                        time.sleep(0.01)
                        continue
                    if not chunk and data:
                        break
                    data += chunk
                    if not chunk:
                        time.sleep(0.01)
                contents[i] = bytes(data)

        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        entries = ['#EBID "%s" "%s" "%s"' % (f["external_backup_id"], f["destination_path"], t)
                   for f, t in zip(files, targets)]
        try:
            start = time.monotonic()
            result = self.env.restore("T01", entries, [], timeout=90)
            self.assertLess(time.monotonic() - start, 45)
            reader.join(60)
        finally:
            for fd in fds:
                os.close(fd)
            for t in targets:
                os.unlink(t)
        self.assertEqual(result.exit, 1)
        self.assertEqual([e[1] for e in result.errors()], [files[0]["destination_path"]])
        self.assertEqual(sorted(t[1] for t in result.by_keyword("#RESTORED")),
                         sorted(f["destination_path"] for f in files[1:]))
        for i in (1, 2, 3):
            self.assertEqual(contents[i], b"".join(sim_backup.generated(files[i]["sim_seed"], files[i]["backup_size"])))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
