#!/usr/bin/python3
"""hana-agent-plugin loaded by a running strovix3-agent from the installed
service configuration, with the development backupd and a simulated HANA
system: probing at start, an account checked through hdbsql, the list
service through the server's forwarding with log backup modes confirmed by
the server's job.def.list, instance control and the confined file
download."""

import json
import os
import signal
import socket
import subprocess
import time
import unittest

import hana_sim
import sandbox_env
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000d001", "key-of-the-hana-host"
LIVE_JOB, GONE_JOB = "7d1e0000-0000-4000-8000-000000000001", "7d1e0000-0000-4000-8000-000000000002"
WORK = "/var/opt/corvane/strovix3/agent"


def log_backup_conf(name, uuid):
    path = os.path.join(sandbox_env.HANA_WORK_DIR, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump({"job_definition_uuid": uuid}, f)


class Hana_Plugin_In_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        hana_sim.install(sid="ABC", instance=0, multi_container=True, tenants=["T01"], password="Manager1")
        cls.srv = Backupd(workdir=os.path.join(os.environ["TMPDIR"], "backupd"), host_uuid=HOST, access_key=KEY,
                          agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf["rpc_port"] = 0
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        cls.log = os.path.join(os.environ["TMPDIR"], "agent.log")
        with open(cls.log, "w") as log:
            cls.agent = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not os.path.exists(WORK + "/rpc-port"):
            if cls.agent.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("strovix3-agent did not start:\n" + cls.log_text())
            time.sleep(0.05)
        while HOST not in [a["host_uuid"] for a in cls.srv.agents()]:
            if time.monotonic() > deadline:
                raise AssertionError("strovix3-agent did not register:\n" + cls.log_text())
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        if cls.agent.poll() is None:
            cls.agent.send_signal(signal.SIGTERM)
            cls.agent.wait(30)
        cls.srv.stop()
        hana_sim.uninstall_all()

    @classmethod
    def log_text(cls):
        with open(cls.log) as f:
            return f.read()

    def command(self, *args, stdin=None):
        return subprocess.run([AGENT] + list(args), input=stdin, capture_output=True, text=True, timeout=120)

    def forward(self, method, params=None):
        """The agent's answer to a call the server forwards by host UUID."""
        call = {"host_uuid": HOST, "method": method, "timeout": 60}
        if params is not None:
            call["params"] = params
        status, answer = self.srv.rpc("agent.forward", call, KEY)
        self.assertEqual(status, 200)
        return answer["result"]

    def test_a_probe_registers_the_instance(self):
        r = self.command("probe")
        self.assertEqual(r.returncode, 0, r.stderr)
        name, options = r.stdout.split(" ", 2)[1:]
        self.assertEqual(name, "ABC_HDB00")
        self.assertEqual(json.loads(options)["multi_container"], True)
        with open(WORK + "/instances.json") as f:
            self.assertEqual(json.load(f)["hana"]["ABC_HDB00"]["options"]["instance_name"], "HDB00")

    def test_b_account_is_stored_only_after_a_log_on(self):
        r = self.command("account", "set", "hana", "ABC_HDB00", "SYSTEM", stdin="wrong\n")
        self.assertEqual(r.returncode, 1)
        self.assertIn("log-on to ABC_HDB00 as SYSTEM refused", r.stderr)
        r = self.command("account", "set", "hana", "ABC_HDB00", "SYSTEM", stdin="Manager1\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([c["statement"] for c in hana_sim.calls("ABC", program="hdbsql")][-2:], ["\\s", "\\s"])
        self.assertNotIn("Manager1", self.log_text())

    def test_c_list_through_the_server_with_log_backup_modes(self):
        self.command("account", "set", "hana", "ABC_HDB00", "SYSTEM", stdin="Manager1\n")
        self.srv.add_job_def(LIVE_JOB, {"name": "log backup of ABC"})
        log_backup_conf("log_backup_ABC_HDB00", LIVE_JOB)
        log_backup_conf("log_backup_ABC_HDB00_T01", GONE_JOB)
        self.srv.clear_requests()

        instances = self.forward("hana.list")
        self.assertEqual([(i["sid"], i["instance_name"], i["instance_number"]) for i in instances["result"]],
                         [("ABC", "HDB00", 0)])
        listed = self.forward("hana.list", {"uid": "admin", "instance": "ABC_HDB00"})["result"]
        self.assertEqual(listed["instance"], "ABC_HDB00")
        self.assertEqual([(d["name"], d["active"], d["log_backup_mode"]) for d in listed["databases"]],
                         [("SYSTEMDB", True, "instance"), ("T01", True, "instance")])
        bodies = [r["body"] if isinstance(r["body"], dict) else json.loads(r["body"] or "null")
                  for r in self.srv.requests() if r["path"] == "/jsonrpc"]
        asked = [b["params"]["uuid"] for b in bodies if b and b.get("method") == "job.def.list"]
        self.assertEqual(sorted(asked), [LIVE_JOB, GONE_JOB])

        self.assertEqual(self.forward("hana.list", ["admin"])["error"], {"code": -32602, "message": "Invalid request"})
        self.assertEqual(self.forward("hana.list", {"instance": "ABC_HDB00"})["error"],
                         {"code": -32602, "message": "Invalid params"})

    def test_d_instance_control_and_file_download(self):
        r = self.command("call", "hana.instance.control", '{"sid": "ABC", "instance_name": "HDB00", "action": "state"}')
        self.assertEqual((r.returncode, r.stdout), (0, '{"state":1}\n'), r.stderr)
        self.assertEqual(self.forward("hana.instance.control",
                                      {"sid": "ABC", "instance_name": "HDB00", "action": "pause"})["error"],
                         {"code": -32602, "message": "action is not supported\n"})

        dest = WORK + "/hana/catalog/ABC@SYSTEMDB-ABC@SYSTEMDB"
        self.assertEqual(self.forward("hana.file.download", {"destination": dest, "data": {"a": 1}})["result"],
                         {"error": 0})
        with open(dest) as f:
            self.assertEqual(json.load(f), {"a": 1})
        answer = self.forward("hana.file.download", {"destination": "/etc/cron.d/evil", "data": {}})
        self.assertEqual(answer["error"]["code"], -32602)
        self.assertFalse(os.path.exists("/etc/cron.d/evil"))
        # A NUL byte is refused before anything is created.
        answer = self.forward("hana.file.download", {"destination": WORK + "/hana/catalog/nul\u0000/x", "data": {}})
        self.assertEqual(answer["error"]["code"], -32602)
        self.assertFalse(os.path.exists(WORK + "/hana/catalog/nul"))

    def test_e_no_password_on_any_command_line_and_accounts_by_user_store_key(self):
        # The password accounts of the tests before (log-on, hana.list)
        # reached HANA's client only through its prompt: no command line of
        # any hdbsql or hdbuserstore held it, and root's store is root's.
        calls = hana_sim.calls("ABC")
        self.assertIn("hdbuserstore", [c["program"] for c in calls])
        for call in calls:
            self.assertNotIn("-p", call["argv"], call)
            self.assertNotIn("Manager1", " ".join(call["argv"]), call)
        store = "/root/.hdb/%s/SSFS_HDB.DAT" % socket.gethostname()
        st = os.stat(store)
        self.assertEqual((st.st_uid, st.st_mode & 0o777, os.stat(os.path.dirname(store)).st_mode & 0o777),
                         (0, 0o600, 0o700))
        # <sid>adm's administrator keeps a key in that user's store, typing
        # the password at the prompt; the account names only the key.
        exe = "/usr/sap/ABC/HDB00/exe/"
        r = sandbox_env.run_as("abcadm", [exe + "hdbuserstore", "-i", "SET", "BACKUP", "localhost:30013", "SYSTEM"],
                               input="Manager1\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.command("account", "set", "hana", "ABC_HDB00", "--key", "NOSUCHKEY", "--uid", "keyed")
        self.assertEqual((r.returncode, r.stderr[-64:]),
                         (1, "log-on to ABC_HDB00 as @NOSUCHKEY refused: wrong or unknown key\n"))
        r = self.command("account", "set", "hana", "ABC_HDB00", "--key", "BACKUP", "--uid", "keyed")
        self.assertEqual(r.returncode, 0, r.stderr)
        hana_sim.clear_calls("ABC")
        listed = self.forward("hana.list", {"uid": "keyed", "instance": "ABC_HDB00"})["result"]
        self.assertEqual([d["name"] for d in listed["databases"]], ["SYSTEMDB", "T01"])
        keyed = hana_sim.calls("ABC", program="hdbsql")
        self.assertTrue(keyed)
        self.assertEqual({(c["user"], tuple(c["argv"][:2])) for c in keyed}, {("abcadm", ("-U", "BACKUP"))})
        self.assertNotIn("Manager1", self.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
