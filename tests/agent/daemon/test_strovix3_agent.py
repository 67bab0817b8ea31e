#!/usr/bin/python3
"""strovix3-agent as a process in the sandbox, with the development backupd
and the test service module: the endpoint key (and not the access key that
group sapsys can decrypt), routing, a slow thread handler
beside a fast request, loading and destruction through the stored destroy
functions, probe and account commands, the server's job.def.list, calls
forwarded to a second agent and to one that never answers, and SIGTERM."""

import json
import os
import signal
import socket
import stat
import subprocess
import threading
import time
import unittest
import urllib.request
import urllib.error

import sandbox_env
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
MODULE = os.path.join(os.environ.get("HANA_BINARY_DIR", ""), "tests", "test-service-module.so")
HOST_A, KEY_A = "0a1b2c3d-0000-4000-8000-0000000000a1", "key-of-a"
HOST_B, KEY_B = "0a1b2c3d-0000-4000-8000-0000000000b2", "key-of-b"
HOST_MUTE = "0a1b2c3d-0000-4000-8000-0000000000c3"

SVC_CONF = """# test services
dynamic Test_Instance_Handler Instance_Handler * {m}:_make_Test_Instance_Handler()
dynamic Test_Echo_Handler JSON_RPC_Handler * {m}:_make_Test_Echo_Handler() "--method test.echo --method test.fail --method test.silent -x 1"
dynamic Test_Worker_Handler JSON_RPC_Handler * {m}:_make_Test_Worker_Handler() "--method test.sleep --method test.jobdef --method test.forward"
dynamic Test_Kept_Object Object * {m}:_make_Test_Kept_Object()
"""


class Agent:
    """One strovix3-agent serve process with its own configuration and work
    directories."""

    def __init__(self, name, conf_dir, work_dir, host_uuid, key, backupd_port, record, extra=None):
        self.name, self.conf_dir, self.work_dir, self.host_uuid, self.key = name, conf_dir, work_dir, host_uuid, key
        self.record = record
        os.makedirs(conf_dir, exist_ok=True)
        conf = {"host_uuid": host_uuid, "backupd_host": "127.0.0.1", "backupd_port": backupd_port,
                "backupd_ssl": False, "rpc_port": 0, "work_dir": work_dir,
                "svc_conf": os.path.join(conf_dir, "svc.conf")}
        conf.update(extra or {})
        with open(os.path.join(conf_dir, "agent.conf"), "w") as f:
            json.dump(conf, f)
        with open(os.path.join(conf_dir, "access_key"), "w") as f:
            f.write(key)
        os.chmod(os.path.join(conf_dir, "access_key"), 0o600)
        with open(os.path.join(conf_dir, "svc.conf"), "w") as f:
            f.write(SVC_CONF.format(m=MODULE))
        self.log = os.path.join(os.environ["TMPDIR"], name + ".log")
        self.proc = None
        self.port = None

    def env(self):
        return dict(os.environ, TEST_SERVICE_RECORD=self.record)

    def start(self):
        port_file = os.path.join(self.work_dir, "rpc-port")
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen([AGENT, "-c", self.conf_dir, "serve"], stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT, env=self.env())
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("%s exited with %d:\n%s" % (self.name, self.proc.returncode, self.log_text()))
            if os.path.exists(port_file):
                with open(port_file) as f:
                    self.port = int(f.read())
                return
            time.sleep(0.05)
        raise AssertionError("%s did not start" % self.name)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            return self.proc.wait(30)
        return self.proc.returncode if self.proc else None

    def log_text(self):
        with open(self.log) as f:
            return f.read()

    def post(self, body, key=None, timeout=30):
        """(HTTP status, answer) of one raw POST /jsonrpc."""
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        headers = {"Content-Type": "application/json"}
        if key is not None:
            headers["X-Access-Key"] = key
        req = urllib.request.Request("http://127.0.0.1:%d/jsonrpc" % self.port, data=data, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                raw = r.read()
                return r.status, json.loads(raw) if raw else None
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"null")

    def endpoint_key(self):
        """The key the agent made for its endpoint at its first start."""
        with open(os.path.join(self.conf_dir, "endpoint_key")) as f:
            return f.read().strip()

    def rpc(self, method, params=None, rid=1, timeout=30):
        body = {"jsonrpc": "2.0", "method": method, "id": rid}
        if params is not None:
            body["params"] = params
        return self.post(body, self.endpoint_key(), timeout)

    def command(self, *args, stdin=None):
        return subprocess.run([AGENT, "-c", self.conf_dir] + list(args), input=stdin, capture_output=True,
                              text=True, timeout=60, env=self.env())


def records(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


class Strovix3_Agent_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        tmp = os.environ["TMPDIR"]
        cls.srv = Backupd(workdir=os.path.join(tmp, "backupd"), host_uuid=HOST_A, access_key=KEY_A)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        cls.srv.add_host(HOST_B, KEY_B)
        cls.srv.add_host(HOST_MUTE, "key-of-mute")
        cls.a = Agent("agent-a", sandbox_env.AGENT_CONF_DIR, "/var/opt/corvane/strovix3/agent", HOST_A, KEY_A,
                      cls.srv.port, os.path.join(tmp, "a.record"))
        cls.b = Agent("agent-b", os.path.join(tmp, "agent-b/conf"), os.path.join(tmp, "agent-b/work"), HOST_B,
                      KEY_B, cls.srv.port, os.path.join(tmp, "b.record"))
        cls.a.start()
        cls.b.start()
        # A registered agent that accepts connections and never answers.
        cls.mute = socket.socket()
        cls.mute.bind(("127.0.0.1", 0))
        cls.mute.listen(8)
        cls.srv.add_agent(HOST_MUTE, "http://127.0.0.1:%d" % cls.mute.getsockname()[1])

    @classmethod
    def tearDownClass(cls):
        cls.b.stop()
        cls.a.stop()
        cls.mute.close()
        cls.srv.stop()

    def test_endpoint_key_is_required_and_what_sapsys_decrypts_is_refused(self):
        key_file = os.path.join(self.a.conf_dir, "endpoint_key")
        st = os.stat(key_file)
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (0, 0o600))
        # A member of sapsys decrypts hana-backint's file with the host UUID
        # of agent.conf and gets the access key: the endpoint refuses it.
        self.assertEqual(sandbox_env.write_access_key_file().returncode, 0)
        decoded = subprocess.run([os.path.join(os.environ["HANA_BINARY_DIR"], "tests", "decode-access-key"),
                                  sandbox_env.ACCESS_KEY_FILE, os.path.join(self.a.conf_dir, "agent.conf")],
                                 user=30999, group=sandbox_env.SAPSYS_GID, capture_output=True, text=True)
        self.assertEqual((decoded.returncode, decoded.stdout), (0, KEY_A))
        before = records(self.a.record)
        body = {"jsonrpc": "2.0", "method": "test.echo", "params": {"x": 1}, "id": 1}
        endpoint_key = self.a.endpoint_key()
        for key in (None, "", decoded.stdout, "key-of-b", endpoint_key + "x", endpoint_key[:-1]):
            status, answer = self.a.post(body, key)
            self.assertEqual(status, 401, key)
            self.assertEqual(answer, {"error": "missing or wrong access key"})
        self.assertEqual(records(self.a.record), before)
        status, answer = self.a.post(body, endpoint_key)
        self.assertEqual((status, answer), (200, {"jsonrpc": "2.0", "result": {"params": {"x": 1}}, "id": 1}))
        self.assertEqual(records(self.a.record)[len(before):], ["handle test.echo"])
        self.assertNotIn(endpoint_key, self.a.log_text())

    def test_routing_and_json_rpc_errors(self):
        self.assertEqual(self.a.rpc("no.such.method", rid="q"),
                         (200, {"jsonrpc": "2.0", "error": {"code": -32601, "message": "Method not found"},
                                "id": "q"}))
        self.assertEqual(self.a.rpc("test.fail")[1]["error"], {"code": -32099, "message": "failed on purpose\n"})
        self.assertEqual(self.a.rpc("test.silent")[1]["error"], {"code": -32603, "message": "Request not answered"})
        self.assertEqual(self.a.post(b"{", self.a.endpoint_key())[1]["error"]["code"], -32700)

    def test_slow_thread_handler_does_not_block_another_request(self):
        slow = {}

        def run_slow():
            slow["answer"] = self.a.rpc("test.sleep", {"seconds": 3}, rid=5)[1]
            slow["done"] = time.monotonic()

        t = threading.Thread(target=run_slow)
        t0 = time.monotonic()
        t.start()
        time.sleep(0.3)  # the slow request is on its worker by now
        self.assertEqual(self.a.rpc("test.echo", {"y": 2})[1]["result"], {"params": {"y": 2}})
        self.assertLess(time.monotonic() - t0, 2.0)
        self.assertEqual(self.a.rpc("test.sleep", {"seconds": 0}, rid=6)[1]["result"], {"slept": 0})
        self.assertLess(time.monotonic() - t0, 2.5)
        t.join(30)
        self.assertEqual(slow["answer"], {"jsonrpc": "2.0", "result": {"slept": 3}, "id": 5})

    def test_trickling_clients_do_not_starve_valid_calls(self):
        # One hundred connections from another address that send their
        # request head a byte at a time, for as long as they are let.
        stop = threading.Event()
        socks = []
        for _ in range(100):
            s = socket.socket()
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", self.a.port))
            socks.append(s)

        def trickle():
            while not stop.is_set():
                for s in socks:
                    try:
                        s.send(b"X")
                    except OSError:
                        pass
                stop.wait(0.2)

        for s in socks:
            try:
                s.send(b"POST /jsonrpc HTTP/1.1\r\nHost: a\r\nX-Slow: ")
            except OSError:
                pass
        t = threading.Thread(target=trickle)
        t.start()
        try:
            time.sleep(0.5)
            t0 = time.monotonic()
            answers = [self.a.rpc("test.echo", {"n": n}, timeout=10)[1]["result"] for n in range(5)]
            self.assertEqual(answers, [{"params": {"n": n}} for n in range(5)])
            self.assertLess(time.monotonic() - t0, 2.0)
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()

    def test_call_command(self):
        r = self.a.command("call", "test.echo", '{"z": [1, 2]}')
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, '{"params":{"z":[1,2]}}\n', ""))
        r = self.a.command("call", "no.such.method")
        self.assertEqual((r.returncode, r.stdout), (1, '{"code":-32601,"message":"Method not found"}\n'))
        r = self.a.command("call", "test.echo", "[1")
        self.assertEqual((r.returncode, r.stderr), (2, "strovix3-agent: params are not JSON\n"))

    def test_registration_and_job_definitions_from_the_server(self):
        agents = {r["host_uuid"]: r["address"] for r in self.srv.agents()}
        self.assertEqual(agents[HOST_A], "http://127.0.0.1:%d" % self.a.port)
        self.assertEqual(agents[HOST_B], "http://127.0.0.1:%d" % self.b.port)
        self.srv.add_job_def("jd-1", {"name": "log backup"})
        result = self.a.rpc("test.jobdef", {"uuid": "jd-1"})[1]["result"]
        self.assertEqual(result["result"], [{"name": "log backup", "uuid": "jd-1"}])
        self.assertEqual(self.a.rpc("test.jobdef", {"uuid": "gone"})[1]["result"]["result"], [])
        # The server is strict: a method it does not serve is an error.
        status, answer = self.srv.rpc("job.def.remove", {"uuid": "jd-1"}, KEY_A)
        self.assertEqual(answer["error"]["code"], -32601)
        status, answer = self.srv.rpc("agent.register", {"host_uuid": HOST_B, "address": "http://127.0.0.1:1",
                                                         "endpoint_key": "k"},
                                      KEY_A)
        self.assertEqual(answer["error"], {"code": -32602, "message": "host_uuid is not the caller's host"})

    def test_forwarding_to_a_peer_agent_and_to_one_that_never_answers(self):
        answer = self.a.rpc("test.forward", {"host_uuid": HOST_B, "method": "test.echo", "params": {"p": 1}})[1]
        self.assertEqual(answer["result"], {"answered": True, "result": {"params": {"p": 1}}})
        self.assertIn("handle test.echo", records(self.b.record))
        # A peer's error comes back as the error object.
        answer = self.a.rpc("test.forward", {"host_uuid": HOST_B, "method": "test.fail"})[1]
        self.assertEqual(answer["result"], {"answered": True,
                                            "result": {"code": -32099, "message": "failed on purpose\n"}})
        # An array (value_t::array == 2) was expected, an object came.
        answer = self.a.rpc("test.forward", {"host_uuid": HOST_B, "method": "agent.probe", "type": 2})[1]
        self.assertEqual(answer["result"], {"answered": False, "result": None})
        t0 = time.monotonic()
        answer = self.a.rpc("test.forward", {"host_uuid": HOST_MUTE, "method": "test.echo", "timeout": 3})[1]
        self.assertEqual(answer["result"], {"answered": False, "result": None})
        self.assertLess(time.monotonic() - t0, 6)
        answer = self.a.rpc("test.forward", {"host_uuid": "unknown-host", "method": "test.echo"})[1]
        self.assertEqual(answer["result"], {"answered": False, "result": None})
        log = self.a.log_text()
        self.assertIn("Forwarding test.echo to host %s failed: agent of host %s did not answer within 2 s"
                      % (HOST_MUTE, HOST_MUTE), log)
        self.assertIn("Forwarding test.echo to host unknown-host failed: no agent registered for host unknown-host",
                      log)

    def test_probe_and_account_commands(self):
        r = self.a.command("probe")
        kept = ("Service Test_Kept_Object: factory _make_Test_Kept_Object stored no destroy function; the object is "
                "kept until the agent exits\n")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, 'test TST_1 {"number":1}\n', kept))
        answer = self.a.rpc("agent.probe")[1]["result"]["instances"]
        self.assertEqual([(i["type"], i["name"]) for i in answer], [("test", "TST_1")])
        registry = "/var/opt/corvane/strovix3/agent/instances.json"
        with open(registry) as f:
            uuid = json.load(f)["test"]["TST_1"]["uuid"]
        self.assertEqual(answer[0]["uuid"], uuid)  # a second probe keeps the uuid

        r = self.a.command("account", "set", "test", "TST_1", "SYSTEM", stdin="wrong\n")
        self.assertEqual((r.returncode, r.stderr),
                         (1, kept + "strovix3-agent: log-on to TST_1 as SYSTEM refused: wrong user or password\n"))
        r = self.a.command("account", "set", "test", "TST_1", "SYSTEM", stdin="right\n")
        self.assertEqual((r.returncode, r.stdout), (0, "Account of SYSTEM stored for test TST_1 (uid admin)\n"))
        r = self.a.command("account", "set", "test", "TST_1", "BACKUP", "--uid", "u7", stdin="right")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(registry).st_mode), 0o600)
        with open(registry) as f:
            accounts = json.load(f)["test"]["TST_1"]["accounts"]
        self.assertEqual({u: a["user"] for u, a in accounts.items()}, {"admin": "SYSTEM", "u7": "BACKUP"})
        r = self.a.command("account", "set", "test", "TST_9", "SYSTEM", stdin="right\n")
        self.assertEqual(r.returncode, 1)
        self.assertIn("test instance TST_9 is not registered", r.stderr)
        self.assertNotIn("right", self.a.log_text())

    def test_zz_sigterm_stops_cleanly_destroying_through_the_stored_functions(self):
        # Runs last (name order): stops the agents.
        self.assertEqual(self.b.stop(), 0, self.b.log_text())
        lines = records(self.b.record)
        self.assertEqual(lines[:5], ["make Test_Instance_Handler", "make Test_Echo_Handler",
                                     "init Test_Echo_Handler -x 1", "make Test_Worker_Handler",
                                     "make Test_Kept_Object"])
        tail = [l for l in lines if l.startswith(("fini", "destroy"))]
        self.assertEqual(tail, ["fini Test_Worker_Handler", "destroy Test_Worker_Handler",
                                "fini Test_Echo_Handler", "destroy Test_Echo_Handler",
                                "fini Test_Instance_Handler", "destroy Test_Instance_Handler"])
        self.assertNotIn("destroy Test_Kept_Object", lines)
        log = self.b.log_text()
        self.assertIn("factory _make_Test_Kept_Object stored no destroy function", log)
        self.assertTrue(log.rstrip("\n").endswith("Stopped"), log)
        self.assertFalse(os.path.exists(os.path.join(self.b.work_dir, "rpc-port")))


class Strovix3_Agent_Start_Test(unittest.TestCase):
    def test_https_with_the_configured_certificate(self):
        sandbox_env.require_sandbox()
        tmp = os.path.join(os.environ["TMPDIR"], "tls")
        os.makedirs(tmp)
        cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        agent = Agent("agent-tls", os.path.join(tmp, "conf"), os.path.join(tmp, "work"), HOST_B, KEY_B, 1,
                      os.path.join(tmp, "record"), {"rpc_cert": cert, "rpc_key": key})
        agent.start()
        try:
            r = agent.command("call", "test.echo", '{"tls": true}')
            self.assertEqual((r.returncode, r.stdout), (0, '{"params":{"tls":true}}\n'), r.stderr)
            with self.assertRaises((urllib.error.URLError, ConnectionError)):
                agent.post({"jsonrpc": "2.0", "method": "test.echo", "id": 1}, agent.endpoint_key(), timeout=5)
            self.assertNotIn("handle test.echo\nhandle test.echo", "\n".join(records(agent.record)))
        finally:
            self.assertEqual(agent.stop(), 0)

    def test_bad_service_configuration_or_address_refuses_to_start(self):
        sandbox_env.require_sandbox()
        tmp = os.environ["TMPDIR"]
        conf = os.path.join(tmp, "bad/conf")
        agent = Agent("agent-bad", conf, os.path.join(tmp, "bad/work"), HOST_B, KEY_B, 1,
                      os.path.join(tmp, "bad.record"))
        with open(os.path.join(conf, "svc.conf"), "a") as f:
            f.write("dynamic F Object * %s:_make_Test_Failing_Object()\n" % MODULE)
        r = subprocess.run([AGENT, "-c", conf, "serve"], capture_output=True, text=True, timeout=60,
                           env=agent.env())
        self.assertEqual(r.returncode, 1)
        self.assertIn("svc.conf:6: factory _make_Test_Failing_Object made no object: Cannot allocate memory",
                      r.stderr)
        # What was made before the fault is destroyed again.
        self.assertIn("destroy Test_Echo_Handler", records(agent.record))
        with open(os.path.join(conf, "agent.conf")) as f:
            c = json.load(f)
        c["rpc_address"] = "0.0.0.0"
        with open(os.path.join(conf, "agent.conf"), "w") as f:
            json.dump(c, f)
        r = subprocess.run([AGENT, "-c", conf, "serve"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 2)
        self.assertIn('"rpc_address" 0.0.0.0 is not a loopback address; "rpc_cert" and "rpc_key" are required',
                      r.stderr)
        # Key files that others may read, or that another user owns, are
        # refused like ssh refuses them.
        key = os.path.join(conf, "access_key")
        for mode, owner, message in ((0o640, 0, "has mode 0640: group or others may reach it; it must be 0600"),
                                     (0o600, 30999, "belongs to user 30999, not to the agent's user 0; refused")):
            os.chmod(key, mode)
            os.chown(key, owner, 0)
            r = subprocess.run([AGENT, "-c", conf, "call", "test.echo"], capture_output=True, text=True, timeout=60)
            self.assertEqual((r.returncode, r.stderr), (2, "strovix3-agent: '%s' %s\n" % (key, message)))


if __name__ == "__main__":
    unittest.main()
