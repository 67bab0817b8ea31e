#!/usr/bin/python3
"""The development backupd's restore views over committed sets: "set",
"rselect" (full backup and catalog for a time) and "sets_size"."""

import tempfile
import unittest

from backupd.client import Backupd

KEY_A, HOST_A = "key-a", "host-a"
KEY_B, HOST_B = "key-b", "host-b"
VIEW = "/d2/r/v2/catalogs/hana/views/"


def hana_set(uuid, bid, type_, start, end, size, lifeline="l1", pool="p1"):
    return {"uuid": uuid, "module": "hana", "resource_uuid": "r1", "database": "T01", "type": type_,
            "database_backup_id": bid, "lifeline": lifeline, "source_size": size, "storage_size": size // 2,
            "start_time": "2026-01-02T%sZ" % start, "end_time": "2026-01-02T%sZ" % end,
            "storages": [{"pool_uuid": pool, "storage_size": size // 2}],
            "files": [{"extern_backup_id": "e-" + uuid, "filename": "f", "source_type": "pipe", "size": size,
                       "storage_path": "T01/" + uuid}]}


class Backupd_Restore_Views_Test(unittest.TestCase):
    def test_restore_views(self):
        with tempfile.TemporaryDirectory() as tmp:
            srv = Backupd(workdir=tmp, host_uuid=HOST_A, access_key=KEY_A).start()
            try:
                self.check(srv)
            finally:
                srv.stop()

    def check(self, srv):
        srv.add_host(HOST_B, KEY_B)
        for s in (hana_set("f1", 10, "full", "10:00:00", "10:01:00", 1000),
                  hana_set("l1", 11, "log", "10:01:00", "10:05:00", 10, pool="p2"),
                  hana_set("d1", 12, "catalog", "10:02:00", "10:02:00", 1, pool="p2"),  # after the data backup
                  hana_set("c1", 13, "catalog", "10:05:01", "10:05:01", 2, pool="p2"),
                  hana_set("i1", 14, "differential", "10:06:00", "10:07:00", 100),
                  hana_set("l2", 15, "log", "10:05:00", "10:10:00", 20, pool="p2"),
                  hana_set("c2", 16, "catalog", "10:10:01", "10:10:01", 4, pool="p2"),
                  hana_set("k1", 17, "cumulative", "10:11:00", "10:12:00", 50),  # a differential job's set
                  hana_set("f2", 20, "full", "11:00:00", "11:01:00", 2000),
                  hana_set("g1", 5, "full", "09:00:00", "09:01:00", 500, lifeline="l2")):
            self.assertEqual(srv.request("POST", "/d2/r/v2/sets?replace=false", s, KEY_A)[0], 200)

        def view(name, params, key=KEY_A):
            return srv.request("POST", VIEW + name, params, key)

        def uuids(status_answer):
            status, answer = status_answer
            self.assertEqual(status, 200, answer)
            return [r["uuid"] for r in answer["rows"]]

        # "set": by uuid, within a pool when one is given, for its own host only.
        status, answer = view("set", {"uuid": "i1", "pool_uuid": ""})
        self.assertEqual((status, answer["type"], answer["last_time"]), (200, "differential", "2026-01-02 10:07:00"))
        self.assertEqual(view("set", {"uuid": "i1", "pool_uuid": "p1"})[0], 200)
        self.assertEqual(view("set", {"uuid": "i1", "pool_uuid": "p2"})[0], 404)
        self.assertEqual(view("set", {"uuid": "i1"}, KEY_B)[0], 404)

        full = {"type": "fullbackup", "resource_uuid": "r1", "database": "T01", "lifeline": "l1"}
        for time, want in (("2026-01-02 10:00:00", ["f1"]), ("2026-01-02 10:59:59", ["f1"]),
                           ("2026-01-02 11:00:00", ["f2"]), ("2026-01-02 09:59:59", [])):
            self.assertEqual(uuids(view("rselect", dict(full, time=time))), want, time)
        self.assertEqual(uuids(view("rselect", dict(full, lifeline="l2", time="2026-01-02 10:30:00"))), ["g1"])
        self.assertEqual(uuids(view("rselect", dict(full, lifeline="", time="2026-01-02 10:30:00"))), ["f1"])
        self.assertEqual(uuids(view("rselect", dict(full, pool_uuid="p2", time="2026-01-02 10:30:00"))), [])

        # The catalog covering a time is the first one written after the log
        # backup that reaches the time.
        catalog = dict(full, type="catalog", database_backup_id=10, volume_id=0)
        for time, want in (("2026-01-02 10:01:00", ["c1"]), ("2026-01-02 10:05:00", ["c1"]),
                           ("2026-01-02 10:05:30", ["c2"]), ("2026-01-02 10:30:00", [])):
            self.assertEqual(uuids(view("rselect", dict(catalog, time=time))), want, time)
        self.assertEqual(uuids(view("rselect", dict(catalog, database_backup_id=14, time="2026-01-02 10:01:00"))),
                         ["c2"])

        size = {"lifeline": "l1", "start_backup_id": 10, "end_backup_id": 16}
        self.assertEqual(view("sets_size", size)[1], {"total_source_size": 1137, "total_size": 568, "count": 7})
        self.assertEqual(view("sets_size", dict(size, ignore_delta=True))[1]["total_source_size"], 1037)
        self.assertEqual(view("sets_size", dict(size, end_backup_id=17, ignore_delta=True))[1]["total_source_size"],
                         1037)
        self.assertEqual(view("sets_size", dict(size, end_backup_id=10))[1]["total_source_size"], 1000)
        self.assertEqual(view("sets_size", dict(size, start_backup_id=20, end_backup_id=20))[1]["count"], 1)

        for name, params in (("rselect", dict(full, time="10:00")), ("rselect", dict(full, type="log")),
                             ("rselect", dict(catalog, time="2026-01-02 10:00:00", database_backup_id="10")),
                             ("sets_size", dict(size, ignore_delta="yes")), ("sets_size", {"lifeline": "l1"}),
                             ("set", {})):
            self.assertEqual(view(name, params)[0], 400, params)


if __name__ == "__main__":
    unittest.main()
