#!/usr/bin/python3
"""Crash torture of hana-backint's backups. Hundreds of backups of random
sizes and channel counts run through real pipes; many are killed with
SIGKILL at a random moment, and faults are injected at random points:
ENOSPC and EIO on the pool's creates and writes, failed syncs and renames
(the storage fault seam, STROVIX3_STORAGE_FAULTS), pools without O_TMPFILE
under NFS's lock rules, and catalog registrations refused or whose answers
are lost. After every run, as after a restart:

- every object answered #SAVED restores byte for byte (this run's at once,
  an earlier one each run, and all of them at the end);
- the catalog holds only what was answered; a run killed between a record
  and its #SAVED line may leave that record ("in doubt"), whose object must
  then restore byte for byte as well;
- no temporary survives the pool's next opening;
- every inquiry is answered (after every run that saved something, and
  every fourth run).

The counts are printed at the end; the first violation fails the test with
its seed and run. STROVIX3_TORTURE_SEED repeats a sequence,
STROVIX3_TORTURE_FROM starts it at a given run, STROVIX3_TORTURE_RUNS sets
where it ends (default 300, or as many as start within
STROVIX3_TORTURE_SECONDS, 240)."""
import os
import random
import re
import time
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402

SID = "HXT"
JOBS = {"none": "7c1d2e3f4a5b46c7d8e9f0a1b2c3d4e5", "zstd": "8d2e3f4a5b6c47d8e9f0a1b2c3d4e5f6"}
POOL_DIR = "/var/opt/corvane/torture-pool"
# A run takes about a second under the sanitizers on an idle machine (three
# processes: backup, restore, inquiry), ten on a loaded one: unless a count
# is given, runs stop being started after STROVIX3_TORTURE_SECONDS, so the
# test stays within CTest's 600 s either way.
RUNS = int(os.environ.get("STROVIX3_TORTURE_RUNS", "300"))
BUDGET = None if "STROVIX3_TORTURE_RUNS" in os.environ else float(os.environ.get("STROVIX3_TORTURE_SECONDS", "240"))
FIRST = int(os.environ.get("STROVIX3_TORTURE_FROM", "0"))
FILE_PATH = "/d2/r/hana/backint/file"


class Violation(AssertionError):
    pass


class Crash_Torture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = bf.Backint_Env.setup(sid=SID, tenants=["T01"])
        cls.srv = cls.env.backupd
        cls.env.make_pool_dir(POOL_DIR)
        cls.env.write_hana_conf(text="{}")
        for compression, uuid in JOBS.items():
            job = {"uuid": uuid, "host_uuid": bf.HOST_UUID, "job_act_id": uuid, "type": "complete",
                   "location": POOL_DIR, "database": "T01", "compression": "" if compression == "none" else compression,
                   "compression_level": 1, "extended_attrs": {}, "sid": SID, "pool_uuid": "",
                   "landscape_id": cls.env.landscape_id(), "database_backup_id": 0, "check_exist": False}
            status, answer = cls.srv.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)
            assert status == 200, answer
        # What the agent's restore job leaves for the restore handler.
        ext = "%s/catalog/%s@T01-restore-ext-conf" % (sb.HANA_WORK_DIR, SID)
        os.makedirs(os.path.dirname(ext), mode=0o755, exist_ok=True)
        with open(ext, "w") as f:
            f.write("{}")
        os.chmod(ext, 0o644)

    @classmethod
    def tearDownClass(cls):
        cls.env.teardown()

    def setUp(self):
        self.answered = {}  # ebid -> (path, data)
        self.counts = dict(runs=0, kills=0, storage_faults=0, catalog_faults=0, saved=0, in_doubt=0, verified=0,
                           inquiries=0)
        self.estimate = 1.0  # seconds an unkilled run takes, averaged

    def test_killed_and_faulty_backups_lose_nothing_answered_and_leave_nothing_else(self):
        self.seed = int(os.environ.get("STROVIX3_TORTURE_SEED") or random.SystemRandom().randrange(1 << 32))
        print("crash torture: seed %d, runs %d to %d at most" % (self.seed, FIRST, RUNS - 1), flush=True)
        started = time.monotonic()
        self.run_index = FIRST - 1
        for i in range(FIRST, RUNS):
            if BUDGET is not None and time.monotonic() - started > BUDGET:
                break
            self.run_index = i
            self.one_run(random.Random("%d:%d" % (self.seed, i)), 100000 + i)
        last = self.run_index
        self.run_index = RUNS
        # Each restore call writes a pipe once: batches of distinct paths.
        batches = []
        for ebid, (path, data) in self.answered.items():
            batch = next((b for b in batches if len(b) < 12 and path not in {p for p, _ in b.values()}), None)
            if batch is None:
                batch = {}
                batches.append(batch)
            batch[ebid] = (path, data)
        for batch in batches:
            self.restore_and_compare(batch, "the final check")
        c = self.counts
        print("crash torture: runs %d to %d done" % (FIRST, last), flush=True)
        print("crash torture: runs %d, kills %d, storage faults %d, catalog faults %d, objects saved %d, "
              "in doubt %d, objects verified %d, inquiries %d, %.0f s"
              % (c["runs"], c["kills"], c["storage_faults"], c["catalog_faults"], c["saved"], c["in_doubt"],
                 c["verified"], c["inquiries"], time.monotonic() - started), flush=True)

    # --- one run --------------------------------------------------------
    def one_run(self, rng, backup_id):
        channels = rng.choice([1, 1, 2, 3, 4, 6, 8])
        sources = []
        for k in range(channels):
            size = rng.choice([0, rng.randrange(1, 1 << 16), rng.randrange(1 << 16, 1 << 20),
                               rng.randrange(1 << 20, 3 << 20)])
            path = self.env.pipe_path("T01", "COMPLETE_DATA_BACKUP_databackup_%d_1" % k)
            if k > 0 and rng.random() < 0.1:  # the base name of source 0, in another directory
                path = sources[0][0].replace("/backint/", "/backint/copy%d/" % k)
            sources.append((path, rng.randbytes(size)))
        faults = []
        if rng.random() < 0.5:
            faults += ["named_temporaries", "nfs_locks"]
        if rng.random() < 0.6:
            op = rng.choice(["create", "write", "sync", "rename"])
            calls = channels if op != "write" else 2 * channels + sum(len(d) for _, d in sources) // (256 << 10)
            faults.append("%s=%s@%d" % (op, rng.choice(["ENOSPC", "EIO"]), rng.randint(1, max(1, calls))))
        self.env.env_overrides["STROVIX3_STORAGE_FAULTS"] = ",".join(faults)
        self.srv.clear_faults()
        catalog_fault = rng.random()
        if catalog_fault < 0.08:
            self.srv.fault(count=4, drop="after", prefix=FILE_PATH, method="POST")
        elif catalog_fault < 0.16:
            self.srv.fault(count=4, status=503, prefix=FILE_PATH, method="POST")
        elif catalog_fault < 0.24:
            self.srv.fault(count=1, drop="after", prefix=FILE_PATH, method="POST")
        kill_after = rng.uniform(0, self.estimate * 1.2) if rng.random() < 0.6 else None
        job = JOBS[rng.choice(sorted(JOBS))]

        begun = time.monotonic()
        r = self.env.backup("T01", "COMPLETE", sources, backup_id=backup_id, tool_option="job_uuid=%s;" % job,
                            kill_after=kill_after)
        if not r.killed:
            self.estimate = 0.8 * self.estimate + 0.2 * (time.monotonic() - begun)
        self.srv.clear_faults()
        self.env.env_overrides.pop("STROVIX3_STORAGE_FAULTS", None)
        c = self.counts
        c["runs"] += 1
        c["kills"] += r.killed
        c["storage_faults"] += len(re.findall(r"^storage fault: ", r.stderr, re.M))
        c["catalog_faults"] += catalog_fault < 0.24
        what = "faults %r, kill after %s" % (",".join(faults), kill_after)

        data_of = dict(sources)
        saved = r.saved()
        for path, (ebid, size) in saved.items():
            if size != len(data_of[path]):
                self.violation("%s answered with %d bytes of %d (%s)" % (path, size, len(data_of[path]), what))
        if not r.killed:
            errors = {f for _, f in r.errors()}
            unanswered = [p for p, _ in sources if p not in saved and p not in errors]
            if unanswered or r.exit != (0 if len(saved) == len(sources) else 1):
                self.violation("exit %s, unanswered %r (%s): %s" % (r.exit, unanswered, what, r.output))
            if not faults and catalog_fault >= 0.24 and len(saved) != len(sources):
                self.violation("a run without faults failed: %s" % r.output)
        run_saved = {ebid: (path, data_of[path]) for path, (ebid, _) in saved.items()}
        c["saved"] += len(run_saved)

        # The catalog: what was answered, and after a kill perhaps a record
        # whose answer the kill cut off.
        records = {f["extern_backup_id"]: f for f in self.srv.files(bf.HOST_UUID)
                   if f["database_backup_id"] == backup_id}
        missing = set(run_saved) - set(records)
        if missing:
            self.violation("answered but not in the catalog: %r (%s)" % (sorted(missing), what))
        extra = {e: f for e, f in records.items() if e not in run_saved}
        if extra and not r.killed:
            self.violation("in the catalog but never answered: %r (%s): %s" % (sorted(extra), what, r.output))
        in_doubt = {e: (f["origin_path"], data_of[f["origin_path"]]) for e, f in extra.items()}
        c["in_doubt"] += len(in_doubt)

        # The restart: this run's objects, and one earlier, restore; the
        # restore opens the pool, after which no temporary may be left.
        check = dict(run_saved)
        check.update(in_doubt)
        if self.answered:
            ebid = rng.choice(sorted(self.answered))
            if self.answered[ebid][0] not in {p for p, _ in check.values()}:
                check[ebid] = self.answered[ebid]
        if check:
            self.restore_and_compare(check, what)
            self.assert_no_temporaries(what)
        self.answered.update(run_saved)
        self.answered.update(in_doubt)
        if self.run_index % 4 == 0 or run_saved:
            self.inquire(sources, run_saved, what)

    # --- checks ---------------------------------------------------------
    def violation(self, text):
        raise Violation("crash torture violation in run %d (STROVIX3_TORTURE_SEED=%d STROVIX3_TORTURE_FROM=%d "
                        "repeat it): %s" % (self.run_index, self.seed, self.run_index, text))

    def restore_and_compare(self, objects, what):
        """Restores {ebid: (path, data)} in one call and compares every byte."""
        entries = ['#EBID "%s" %s' % (ebid, bf.quote(path)) for ebid, (path, _) in objects.items()]
        back = self.env.restore("T01", entries, [path for path, _ in objects.values()])
        restored = {t[0] for t in back.by_keyword("#RESTORED")}
        for ebid, (path, data) in objects.items():
            content = bytes(back.pipes[path].content)
            if ebid not in restored or content != data:
                self.violation("%s (%s) does not restore: %d of %d bytes, exit %s (%s): %s"
                               % (ebid, path, len(content), len(data), back.exit, what, back.output))
            self.counts["verified"] += 1

    def assert_no_temporaries(self, what):
        left = [os.path.join(d, n) for d, _, names in os.walk(POOL_DIR) for n in names
                if ".tmp." in n or os.path.basename(d) == ".tmp"]
        if left:
            self.violation("temporaries survive the pool's opening: %r (%s)" % (left, what))

    def inquire(self, sources, run_saved, what):
        lines = ['#SOFTWAREID "backint 1.50" "HANA HDB server 2.00.070.00.1700000000"']
        lines += ["#NULL %s" % bf.quote(p) for p, _ in sources]
        lines += ['#EBID "%s" %s' % (ebid, bf.quote(path)) for ebid, (path, _) in run_saved.items()]
        r = self.env.run("inquire", None, lines, "T01")
        self.counts["inquiries"] += 1
        answers = r.by_keyword("#BACKUP") + r.by_keyword("#NOTFOUND")
        # By name, a backup of the same base name answers too (under its own path).
        found = {t[0] for t in r.by_keyword("#BACKUP")}
        if r.exit != 0 or len(answers) < len(lines) - 1 or not set(run_saved) <= found:
            self.violation("inquiry not answered, exit %s, EBIDs not found %r (%s): %s"
                           % (r.exit, sorted(set(run_saved) - found), what, r.output))


if __name__ == "__main__":
    unittest.main()
