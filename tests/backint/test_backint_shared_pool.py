#!/usr/bin/python3
"""Two HANA systems of one host back up into one file pool through
hana-backint, each as its own <sid>adm, and each reads the other's
object file: the levels they share are made for group sapsys. A restore
takes only its own system's backups."""
import json
import os
import stat
import subprocess
import unittest

import sandbox_env as sb

sb.require_sandbox()

import backint_fixture as bf  # noqa: E402
import hana_sim  # noqa: E402

POOL = "0c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f"
POOL_DIR = "/var/opt/corvane/shared-pool"
JOBS = {"HXA": "1a2b3c4d5e6f47a8b9c0d1e2f3a4b5c6", "HXB": "6c5b4a3f2e1d40c9b8a7f6e5d4c3b2a1"}


class SharedPool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        first = bf.Backint_Env.setup(sid="HXA", tenants=["T01"], landscape_id="b7a6c5d4e3f2a1b0c9d8e7f6a5b4c3d2")
        hana_sim.install(sid="HXB", instance=1, tenants=["T01"], landscape_id="a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d6")
        hana_sim.link_backint("HXB")
        cls.envs = {"HXA": first, "HXB": bf.Backint_Env("HXB", True, first.backupd, hana_sim)}

    @classmethod
    def tearDownClass(cls):
        hana_sim.uninstall("HXB")
        cls.envs["HXA"].teardown()

    def test_each_system_restores_what_the_other_saved(self):
        # The pool's root as the installation leaves it: root's, group sapsys.
        os.makedirs(POOL_DIR)
        os.chown(POOL_DIR, 0, sb.SAPSYS_GID)
        os.chmod(POOL_DIR, 0o2775)
        srv = self.envs["HXA"].backupd
        srv.add_pool(POOL, url=POOL_DIR)
        saved = {}
        for sid, env in self.envs.items():
            job = {"uuid": JOBS[sid], "host_uuid": bf.HOST_UUID, "job_act_id": JOBS[sid], "type": "complete",
                   "location": "/nowhere", "database": "T01", "compression": "zstd", "compression_level": 3,
                   "extended_attrs": {}, "sid": sid, "pool_uuid": POOL, "landscape_id": env.landscape_id(),
                   "database_backup_id": 0, "check_exist": False}
            status, answer = srv.request("POST", "/d2/r/hana/backint/job", job, access_key=bf.ACCESS_KEY)
            self.assertEqual(status, 200, answer)
            pipe = env.pipe_path("T01", "COMPLETE_DATA_BACKUP_databackup_0_1")
            data = bf.pattern(len(saved) + 7, 300000)
            r = env.backup("T01", "COMPLETE", [(pipe, data)], backup_id=2001, tool_option="job_uuid=%s;" % JOBS[sid])
            self.assertEqual(r.exit, 0, r.output + r.stderr)
            saved[sid] = (r.saved()[pipe][0], data)

        # Every level both systems write below is open to the group.
        host_dir = os.path.join(POOL_DIR, bf.HOST_UUID)
        for sid, env in self.envs.items():
            directory = os.path.join(host_dir, env.landscape_id(), "T01", "2001")
            obj = os.path.join(directory, "COMPLETE_DATA_BACKUP_databackup_0_1.zst")
            st = os.stat(obj)
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_gid), (0o640, sb.SAPSYS_GID), obj)
            d = directory
            while d != POOL_DIR:
                st = os.stat(d)
                self.assertEqual((stat.S_IMODE(st.st_mode), st.st_gid), (0o2775, sb.SAPSYS_GID), d)
                d = os.path.dirname(d)

        for sid, other in (("HXA", "HXB"), ("HXB", "HXA")):
            env = self.envs[sid]
            ext = "%s/catalog/%s@T01-restore-ext-conf" % (sb.HANA_WORK_DIR, sid)
            os.makedirs(os.path.dirname(ext), mode=0o755, exist_ok=True)
            with open(ext, "w") as f:
                json.dump({"pool_uuid": POOL}, f)
            os.chmod(ext, 0o644)
            pipe = env.pipe_path("T01", "COMPLETE_DATA_BACKUP_databackup_0_1")
            # The other system's object is readable for the group, but a
            # restore never takes another system's backup unasked.
            theirs = os.path.join(host_dir, self.envs[other].landscape_id(), "T01", "2001",
                                  "COMPLETE_DATA_BACKUP_databackup_0_1.zst")
            read = subprocess.run(["runuser", "-u", env.user, "--", "cat", theirs], capture_output=True)
            self.assertEqual((read.returncode, len(read.stdout)), (0, os.path.getsize(theirs)), read.stderr)
            ebid, data = saved[other]
            back = env.restore("T01", ['#EBID "%s" %s' % (ebid, bf.quote(pipe))], [pipe])
            self.assertEqual(back.by_keyword("#NOTFOUND"), [[pipe]], back.output)
            ebid, data = saved[sid]
            back = env.restore("T01", ['#EBID "%s" %s' % (ebid, bf.quote(pipe))], [pipe])
            self.assertEqual(back.exit, 0, back.output + back.stderr)
            self.assertEqual(back.by_keyword("#RESTORED"), [[ebid, pipe]])
            self.assertTrue(bytes(back.pipes[pipe].content) == data, sid)

if __name__ == "__main__":
    unittest.main()
