#!/usr/bin/python3
"""The development backupd itself: start and stop, persistence, per-host
records, the enqueue, backup-set, resource and pool endpoints, and fault
injection as the C++ and Python tests rely on them."""

import json
import os
import signal
import stat
import tempfile
import time
import unittest

from backupd.client import Backupd

KEY_A, HOST_A = "key-a", "host-a"
KEY_B, HOST_B = "key-b", "host-b"
JOB = "/d2/r/hana/backint/job"


class Dev_Backupd_Test(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.conf = os.path.join(self.tmp.name, "agent")
        self.srv = Backupd(workdir=self.tmp.name, agent_conf_dir=self.conf, host_uuid=HOST_A, access_key=KEY_A)
        self.srv.start()
        self.srv.add_host(HOST_B, KEY_B)

    def tearDown(self):
        self.srv.stop()
        self.tmp.cleanup()

    def call(self, method, path, body=None, key=KEY_A):
        return self.srv.request(method, path, body, key)

    def test_agent_configuration_and_clean_stop(self):
        with open(os.path.join(self.conf, "agent.conf")) as f:
            conf = json.load(f)
        self.assertEqual(conf, {"host_uuid": HOST_A, "backupd_host": "127.0.0.1", "backupd_port": self.srv.port,
                                "backupd_ssl": False, "ca_file": ""})
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.conf, "agent.conf")).st_mode), 0o644)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.conf, "access_key")).st_mode), 0o600)
        with open(os.path.join(self.conf, "access_key")) as f:
            self.assertEqual(f.read(), KEY_A)
        proc = self.srv.proc
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(5), 0)

    def test_records_survive_a_restart_and_stay_with_their_host(self):
        self.assertEqual(self.call("POST", JOB, {"uuid": "j1", "database": "D", "check_exist": False})[0], 200)
        self.srv.stop()
        self.srv.start()
        status, job = self.call("GET", JOB + "?job_uuid=j1")
        self.assertEqual((status, job["database"]), (200, "D"))
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j1", key=KEY_B)[0], 404)
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j1", key=None)[0], 401)
        self.assertEqual(self.call("DELETE", JOB + "?job_uuid=j1", key=KEY_B)[0], 404)
        self.assertEqual(self.call("GET", JOB + "?uuid=j1")[0], 400)
        self.assertEqual(self.call("PATCH", JOB)[0], 501)

    def test_seeded_records_are_served_to_their_host_only(self):
        self.srv.add_job({"uuid": "s1", "landscape_id": "L", "database": "D", "location": "/pool"}, HOST_B)
        self.srv.add_files("s1", [{"extern_backup_id": "e1", "filename": "f", "backup_time": "2024-01-01T00:00:00Z"}],
                           HOST_B)
        status, answer = self.call("GET", "/d2/r/hana/backint/file?extern_backup_id=e1", key=KEY_B)
        self.assertEqual((status, answer["total"]), (200, 1))
        row = answer["rows"][0]
        self.assertEqual((row["backup_time"], row["location"], row["landscape_id"]),
                         ("2024-01-01T00:00:00Z", "/pool", "L"))
        self.assertEqual(self.call("GET", "/d2/r/hana/backint/file?extern_backup_id=e1")[1]["total"], 0)
        self.assertEqual(self.srv.requests()[-1]["host_uuid"], HOST_A)

    def test_enqueue_belongs_to_the_callers_host(self):
        run = {"action": "start", "backint_job_uuid": "b1", "backupd_job_uuid": "d1", "uid": "u", "host_uuid": HOST_A}
        self.assertEqual(self.call("POST", "/d2/r/hana/backint/job/enqueue", run)[0], 200)
        self.assertEqual(self.call("POST", "/d2/r/hana/backint/job/enqueue", run, key=KEY_B)[0], 403)
        self.assertEqual(self.call("POST", "/d2/r/hana/backint/job/enqueue", {"action": "start"})[0], 400)
        rows = self.srv.enqueues()
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["backint_job_uuid"], "b1")

    def test_backup_sets_resources_and_pools(self):
        self.srv.add_set_rows([{"extern_backup_id": "e1", "location": "/p/a/f1", "database_backup_id": 5},
                               {"extern_backup_id": "e2", "location": "/p/a/f2", "database_backup_id": 9}])
        self.srv.add_set_rows([{"extern_backup_id": "e3", "location": "/p/b/f1"}], owner=HOST_B)
        zero = "00000000-0000-0000-0000-000000000000"
        base = "/d2/r/v2/sets/select?module=hana&view=backupfile&resource_uuid=" + zero
        status, answer = self.call("GET", base + "&filename=f1")
        self.assertEqual((status, [r["extern_backup_id"] for r in answer["rows"]]), (200, ["e1"]))
        status, answer = self.call("GET", base + "&limit=1&offset=1")
        self.assertEqual((answer["total"], [r["extern_backup_id"] for r in answer["rows"]]), (2, ["e2"]))
        self.assertEqual(self.call("GET", "/d2/r/v2/sets/select?filename=f1")[0], 400)

        self.srv.add_resource("r 1", {"instances": []})
        status, answer = self.call("GET", "/d2/r/v2/resources?uuid=r%201")
        self.assertEqual(answer, {"rows": [{"instances": [], "uuid": "r 1"}], "total": 1})
        self.assertEqual(self.call("GET", "/d2/r/v2/resources?uuid=none")[1]["rows"], [])

        self.srv.add_pool("p1", "file:///srv/p1", compression="zstd", compression_level=3, server_side_dedup=True)
        status, pool = self.call("GET", "/d2/r/v2/pools/p1")
        self.assertEqual(pool, {"uuid": "p1", "name": "p1", "url": "file:///srv/p1", "compression": "zstd",
                                "compression_level": 3, "server_side_dedup": True})
        self.assertEqual(self.call("GET", "/d2/r/v2/pools/p2")[0], 404)

    def test_faults_match_prefix_and_method_and_are_recorded(self):
        self.srv.fault(count=2, status=503, prefix=JOB, method="GET")
        self.assertEqual(self.call("POST", JOB, {"uuid": "j", "check_exist": False})[0], 200)
        self.assertEqual(self.call("GET", "/d2/r/v2/pools/x")[0], 404)
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j")[0], 503)
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j")[0], 503)
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j")[0], 200)
        self.srv.fault(count=1, delay=0.3, status=502)
        t0 = time.monotonic()
        self.assertEqual(self.call("GET", JOB + "?job_uuid=j")[0], 502)
        self.assertGreaterEqual(time.monotonic() - t0, 0.3)
        reqs = self.srv.requests()
        self.assertEqual([r["status"] for r in reqs], [200, 404, 503, 503, 200, 502])
        self.assertEqual(reqs[0]["body"], {"uuid": "j", "check_exist": False})
        self.assertEqual(reqs[2]["params"], [["job_uuid", "j"]])
        self.srv.clear_requests()
        self.assertEqual(self.srv.requests(), [])


if __name__ == "__main__":
    unittest.main()
