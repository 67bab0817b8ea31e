#!/usr/bin/python3
"""A scale-out system ABC on two hosts, each with its own strovix3-agent and
host UUID registered with the development backupd: the coordinating host
h1 (the sandbox) and the peer h2 (its own namespaces, /usr/sap and agent
trees). The peer serves the file pushes and the instance restart that the
server forwards to it from the other agent; a restore job on h1 pushes its
configuration files to the peer and, for the system database, restarts the
peer's instance; a scale-out target whose resource names no other host
fails before anything is stopped."""

import json
import os
import stat
import time
import unittest

import hana_sim
import sandbox_env
from agent_host import Agent_Host, WORK
from backupd.client import Backupd

MAIN, MAIN_KEY = "0a1b2c3d-0000-4000-8000-0000000051a1", "key-of-host-h1"
PEER, PEER_KEY = "0a1b2c3d-0000-4000-8000-0000000051a2", "key-of-host-h2"
LANDSCAPE = "5ca1e000-0000-4000-8000-000000000001"
RESOURCE, SOLO = "5ca1e000-0000-4000-8000-0000000000a1", "5ca1e000-0000-4000-8000-0000000000a2"
POOL = "5ca1e000-0000-4000-8000-0000000000b1"
POOL_DIR = "/var/opt/corvane/test-scale-out-pool"
BACKUP, RESTORE, RESTORE_SOLO = ("5ca1e000-0000-4000-8000-00000000000%d" % i for i in (1, 2, 3))
SYSTEM = ["--instance", "0", "--tenants", "T01", "--password", "Manager1", "--hosts", "h1,h2",
          "--landscape-id", LANDSCAPE]


def instance(host_uuid):
    """The resource record's instance of ABC on host host_uuid."""
    return {"name": "ABC_HDB00", "uuid": "i-" + host_uuid[-3:], "host_uuid": host_uuid,
            "extended_attrs": {"sid": "ABC", "instance_name": "HDB00", "instance_number": 0,
                               "multi_container": True}}


def restore_definition(uuid, target, entries):
    return {"id": uuid, "type": 2, "subtype": 13, "name": "restore of ABC", "agent": "hana", "host_id": MAIN,
            "target": {"id": target, "location": POOL_DIR},
            "source": {"id": RESOURCE, "name": "ABC", "pool_uuid": POOL, "entries": entries}}


class Scale_Out_Restore_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        hana_sim.install(sid="ABC", instance=0, tenants=["T01"], password="Manager1", hosts=["h1", "h2"],
                         landscape_id=LANDSCAPE)
        cls.srv = Backupd(workdir=os.path.join(os.environ["TMPDIR"], "backupd"), host_uuid=MAIN,
                          access_key=MAIN_KEY, agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        cls.hosts = [Agent_Host.local("h1", cls.srv)]
        cls.main = cls.hosts[0]
        cls.peer = Agent_Host.peer("h2", PEER, PEER_KEY, cls.srv)
        cls.hosts.append(cls.peer)
        cls.peer.sim("install", "ABC", "--host", "h2", *SYSTEM)
        os.makedirs(POOL_DIR, exist_ok=True)
        os.chmod(POOL_DIR, 0o777)
        cls.srv.add_pool(POOL, POOL_DIR)
        cls.srv.add_resource(RESOURCE, {"instances": [instance(MAIN), instance(PEER)]})
        cls.srv.add_resource(SOLO, {"instances": [instance(MAIN)]})
        cls.srv.add_job_def(BACKUP, {
            "id": BACKUP, "type": 1, "subtype": 1, "name": "full backup of ABC", "agent": "hana", "host_id": MAIN,
            "target": {"id": POOL, "location": POOL_DIR},
            "source": {"id": RESOURCE, "entries": ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"]}}, owner=MAIN)
        for host in cls.hosts:
            host.start_agent()
        cls.main.account("ABC_HDB00", "SYSTEM", "Manager1")

    @classmethod
    def tearDownClass(cls):
        for host in reversed(getattr(cls, "hosts", [])):
            host.stop()
        cls.srv.stop()
        hana_sim.uninstall_all()

    def forward(self, host_uuid, method, params):
        """What the server answers an agent that forwards a call to host_uuid."""
        status, answer = self.srv.rpc("agent.forward", {"host_uuid": host_uuid, "method": method, "params": params,
                                                        "timeout": 120}, MAIN_KEY)
        self.assertEqual(status, 200, answer)
        return answer.get("result", answer)

    def test_a_peer_serves_the_file_push_and_the_restart(self):
        dest = WORK + "/hana/catalog/new/ABC@T01-restore-ext-conf"
        content = {"io_ctl": {"max_seconds_retry": 30}, "pool_uuid": "p-1"}
        self.assertEqual(self.forward(PEER, "hana.file.download", {"destination": dest, "data": content}),
                         {"result": {"error": 0}})
        landed = self.peer.path(dest)
        with open(landed) as f:
            self.assertEqual(json.load(f), content)
        st = os.stat(landed)
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_gid), (0o640, sandbox_env.SAPSYS_GID))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(landed)).st_mode), 0o755)
        self.assertFalse(os.path.exists(dest), "the push reached the coordinating host")

        listener = self.peer.sim("state", "ABC", "--get", "daemon_pid")
        self.assertEqual(self.forward(PEER, "hana.instance.control",
                                      {"action": "restart", "sid": "ABC", "instance_name": "HDB00"}),
                         {"result": {"error": 0}})
        self.assertEqual([(c["statement"], c["exit"]) for c in self.peer.sim_calls("ABC", "HDB")], [("restart", 0)])
        self.assertEqual(self.peer.sim("status", "ABC"), "running\n")
        self.assertNotEqual(self.peer.sim("state", "ABC", "--get", "daemon_pid"), listener)
        self.assertEqual(hana_sim.calls("ABC", program="HDB"), [])
        self.assertTrue(hana_sim.is_running("ABC"))


    def run_job(self, uuid):
        answer = self.srv.job_command(uuid, "start")
        self.assertIn("result", answer, answer)
        act = answer["job_act_id"]
        deadline = time.monotonic() + 300
        while not self.run_of(act).get("outcome"):
            self.assertLess(time.monotonic(), deadline, "run %s did not end:\n%s" % (act, self.main.log_text()[-6000:]))
            time.sleep(0.1)
        return self.run_of(act)

    def run_of(self, act):
        rows = self.srv.job_runs(job_act_id=act)
        return rows[0] if rows else {}

    def full_sets(self):
        """{database: set UUID} of the newest full sets."""
        return {s["database"]: s["uuid"] for s in self.srv.backup_sets(MAIN) if s.get("type") == "full"}

    @staticmethod
    def entry(database, set_uuid):
        return {"catalog_uuid": set_uuid, "original": {"sid": "ABC", "database": database},
                "restore_as": {"database": database}}

    def test_b_restore_pushes_its_files_and_restarts_the_peer_for_the_system_database(self):
        self.assertEqual(self.run_job(BACKUP)["outcome"], "success", self.main.log_text()[-6000:])
        sets = self.full_sets()
        self.srv.add_job_def(RESTORE, restore_definition(RESTORE, RESOURCE, [
            self.entry("T01", sets["T01"]), self.entry("SYSTEMDB", sets["SYSTEMDB"])]), owner=MAIN)
        self.peer.sim("calls", "ABC", "--clear")

        run = self.run_job(RESTORE)
        self.assertEqual(run["outcome"], "success", self.main.log_text()[-6000:])
        self.assertEqual([(r["database"], r["result"]) for r in hana_sim.recoveries("ABC")],
                         [("SYSTEMDB", "successful"), ("T01", "successful")])
        for database in ("SYSTEMDB", "T01"):
            conf = WORK + "/hana/catalog/ABC@%s-restore-ext-conf" % database
            with open(conf) as f, open(self.peer.path(conf)) as g:
                self.assertEqual(json.load(g), json.load(f))
            st = os.stat(self.peer.path(conf))
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_gid), (0o640, sandbox_env.SAPSYS_GID))
        # Only the system database's recovery restarts the instances of the other hosts.
        self.assertEqual([(c["statement"], c["exit"]) for c in self.peer.sim_calls("ABC", "HDB")], [("restart", 0)])
        self.assertEqual(self.peer.sim("status", "ABC"), "running\n")

    def test_c_target_without_another_host_fails_before_any_stop(self):
        self.srv.add_job_def(RESTORE_SOLO, restore_definition(RESTORE_SOLO, SOLO, [
            self.entry("SYSTEMDB", self.full_sets().get("SYSTEMDB", "0" * 32))]), owner=MAIN)
        hana_sim.clear_calls("ABC")
        run = self.run_job(RESTORE_SOLO)
        self.assertEqual(run["outcome"], "failure")
        self.assertIn("Failed to get resource info.", self.main.log_text())
        self.assertEqual([a["code"] for a in self.srv.job_alerts(definition_id=RESTORE_SOLO)], [6])
        self.assertEqual(hana_sim.calls("ABC", program="HDB"), [])
        self.assertTrue(hana_sim.is_running("ABC"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
