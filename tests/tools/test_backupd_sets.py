#!/usr/bin/python3
"""The development backupd's backup sets: commit, the set query, the hana
catalog views and the backupfile rows a committed set leaves for
hana-backint."""

import tempfile
import unittest

from backupd.client import Backupd

KEY_A, HOST_A = "key-a", "host-a"
KEY_B, HOST_B = "key-b", "host-b"
COMMIT = "/d2/r/v2/sets?replace="
QUERY = "/d2/r/v2/sets/restore/sets?module=hana&resource_uuid=r1&database=SYSTEMDB"
LAST = "/d2/r/v2/catalogs/hana/views/last_backup_set"


def hana_set(uuid, backup_id, type_="full", database="SYSTEMDB", pool="p1", files=None):
    return {"uuid": uuid, "module": "hana", "resource_uuid": "r1", "database": database, "type": type_,
            "database_backup_id": backup_id, "lifeline": "l1",
            "start_time": "2026-01-02T03:04:05Z", "end_time": "2026-01-02T03:14:05Z",
            "storages": [{"pool_uuid": pool, "storage_size": 7}],
            "files": files if files is not None else
            [{"extern_backup_id": "e-" + uuid, "filename": "databackup_0_1", "origin_path": "/pipe/databackup_0_1",
              "source_type": "pipe", "size": 9, "storage_path": "h/L/%s/%d/databackup_0_1" % (database, backup_id)}]}


class Backupd_Sets_Test(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.srv = Backupd(workdir=self.tmp.name, host_uuid=HOST_A, access_key=KEY_A).start()
        self.srv.add_host(HOST_B, KEY_B)
        self.srv.add_pool("p1", url="/pools/one/")

    def tearDown(self):
        self.srv.stop()
        self.tmp.cleanup()

    def call(self, method, path, body=None, key=KEY_A):
        return self.srv.request(method, path, body, key)

    def commit(self, s, replace="true", key=KEY_A):
        return self.call("POST", COMMIT + replace, s, key)

    def test_commit_is_idempotent_by_uuid_and_refuses_conflicts(self):
        s = hana_set("s1", 5)
        self.assertEqual(self.commit(s, "false")[0], 200)
        self.assertEqual(self.commit(s, "false")[0], 200)  # a retried commit
        changed = dict(s, lifeline="l2")
        self.assertEqual(self.commit(changed, "false")[0], 409)
        self.assertEqual(self.commit(changed, "true", key=KEY_B)[0], 409)  # another host's uuid
        self.assertEqual(self.commit(changed, "true")[0], 200)
        self.assertEqual([r["lifeline"] for r in self.srv.backup_sets()], ["l2"])
        for bad, why in ((dict(s, uuid=""), '"uuid"'), (dict(s, database_backup_id=-1), '"database_backup_id"'),
                         (dict(s, start_time="yesterday"), '"start_time"'), (dict(s, database=""), '"database"'),
                         (dict(s, files=[{"storage_path": "x"}]), '"extern_backup_id"'), ([], "object")):
            status, answer = self.commit(bad)
            self.assertEqual(status, 400, bad)
            self.assertIn(why, answer["error"])
        self.assertEqual(len(self.srv.backup_sets()), 1)

    def test_query_filters_sorts_and_answers_the_server_form(self):
        for uuid, bid, db in (("a", 3, "SYSTEMDB"), ("b", 11, "SYSTEMDB"), ("c", 7, "SYSTEMDB"), ("t", 20, "T01")):
            self.assertEqual(self.commit(hana_set(uuid, bid, database=db))[0], 200)
        self.assertEqual(self.commit(dict(hana_set("x", 99), resource_uuid="r2"))[0], 200)
        status, answer = self.call("GET", QUERY + "&order=desc&limit=1&sort=database_backup_id")
        self.assertEqual((status, answer["total"], [r["uuid"] for r in answer["rows"]]), (200, 3, ["b"]))
        row = answer["rows"][0]
        self.assertEqual((row["pool_uuid"], row["storages"][0]["state"]), ("p1", ["available"]))
        self.assertEqual((row["first_time"], row["last_time"]), ("2026-01-02 03:04:05", "2026-01-02 03:14:05"))
        self.assertEqual(row["start_time"], "2026-01-02T03:04:05Z")
        # Numbers sort as numbers (11 after 7), and an exact backup id selects one set.
        status, answer = self.call("GET", QUERY + "&sort=database_backup_id")
        self.assertEqual([r["uuid"] for r in answer["rows"]], ["a", "c", "b"])
        self.assertEqual([r["uuid"] for r in self.call("GET", QUERY + "&database_backup_id=7")[1]["rows"]], ["c"])
        self.assertEqual(self.call("GET", QUERY, key=KEY_B)[1]["total"], 0)
        self.assertEqual(self.call("GET", "/d2/r/v2/sets/restore/sets?database=SYSTEMDB")[0], 400)

    def test_last_backup_set_view(self):
        for uuid, bid, type_ in (("f1", 4, "full"), ("i1", 6, "incremental"), ("f2", 5, "full")):
            self.assertEqual(self.commit(hana_set(uuid, bid, type_))[0], 200)
        params = {"database": "SYSTEMDB", "type": "full", "resource_uuid": "r1"}
        status, answer = self.call("POST", LAST, params)
        self.assertEqual((status, answer["uuid"], answer["pool_uuid"]), (200, "f2", "p1"))
        status, answer = self.call("POST", LAST, {"database": "SYSTEMDB", "resource_uuid": "r1"})
        self.assertEqual(answer["uuid"], "i1")
        self.assertEqual(self.commit(hana_set("f3", 3, pool="p2"))[0], 200)
        self.assertEqual(self.call("POST", LAST, dict(params, pool_uuid="p2"))[1]["uuid"], "f3")
        self.assertEqual(self.call("POST", LAST, dict(params, database="T01"))[0], 404)
        self.assertEqual(self.call("POST", LAST, params, key=KEY_B)[0], 404)
        self.assertEqual(self.call("POST", LAST, {"database": "SYSTEMDB"})[0], 400)
        self.assertEqual(self.call("POST", LAST, ["not", "an", "object"])[0], 400)
        self.assertEqual(self.call("POST", "/d2/r/v2/catalogs/hana/views/no_such_view", {})[0], 404)
        self.assertEqual(self.call("GET", LAST)[0], 405)

    def test_committed_files_are_found_by_hana_backint_lookups(self):
        self.assertEqual(self.commit(hana_set("s1", 5))[0], 200)
        select = ("/d2/r/v2/sets/select?extern_backup_id=e-s1&module=hana&view=backupfile"
                  "&resource_uuid=00000000-0000-0000-0000-000000000000")
        status, answer = self.call("GET", select)
        self.assertEqual((status, answer["total"]), (200, 1))
        row = answer["rows"][0]
        self.assertEqual(row["location"], "/pools/one/h/L/SYSTEMDB/5/databackup_0_1")
        self.assertEqual((row["backup_start_time"], row["database_backup_id"], row["pool_uuid"], row["size"]),
                         ("2026-01-02T03:04:05.000Z", 5, "p1", 9))
        # A replaced set replaces its rows; another host sees none.
        moved = hana_set("s1", 5, files=[{"extern_backup_id": "e-new", "storage_path": "h/L/SYSTEMDB/5/x"}])
        self.assertEqual(self.commit(moved)[0], 200)
        self.assertEqual(self.call("GET", select)[1]["total"], 0)
        self.assertEqual(self.call("GET", select.replace("e-s1", "e-new"))[1]["total"], 1)
        self.assertEqual(self.call("GET", select.replace("e-s1", "e-new"), key=KEY_B)[1]["total"], 0)


if __name__ == "__main__":
    unittest.main()
