#!/usr/bin/python3
"""Jobs through strovix3-agent in the sandbox, with the development backupd
and the test job module: definitions from the server, runs started by the
server and by the administrator, their events, alerts, activity records and
log files, stop and pause of a running job, refused commands, and a stop of
the agent while a job runs."""

import json
import os
import struct
import time
import unittest

import sandbox_env
from backupd.client import Backupd

AGENT = sandbox_env.BIN_DIR + "/strovix3-agent"
MODULE = os.path.join(os.environ.get("HANA_BINARY_DIR", ""), "tests", "test-job-module.so")
HOST, KEY = "0a1b2c3d-0000-4000-8000-0000000000a1", "key-of-a"
WORK = "/var/opt/corvane/strovix3/agent"
JOB, SLOW, GATED, RESTORE = ("11111111-0000-4000-8000-00000000000%d" % i for i in range(1, 5))

SVC_CONF = """dynamic Test_Job_Creator Job_Creator * {m}:_make_Test_Job_Creator() "--agent test"
dynamic Test_Source_Parser Job_Parser_Creator * {m}:_make_Test_Source_Parser_Creator() "--agent test --job-type backup --parses source"
"""


def definition(name, **extra):
    record = {"type": 1, "subtype": 1, "name": name, "agent": "test", "host_id": HOST,
              "target": {"id": "pool-1", "location": "/srv/pool"},
              "source": {"id": "res-1", "entries": ["test/a"]}}
    record.update(extra)
    return record


class Agent_Jobs_Test(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox_env.require_sandbox()
        tmp = os.environ["TMPDIR"]
        cls.srv = Backupd(workdir=os.path.join(tmp, "backupd"), host_uuid=HOST, access_key=KEY,
                          agent_conf_dir=sandbox_env.AGENT_CONF_DIR)
        os.makedirs(cls.srv.workdir, exist_ok=True)
        cls.srv.start()
        cls.srv.add_job_def(JOB, definition("quick"), owner=HOST)
        cls.srv.add_job_def(SLOW, definition("slow"), owner=HOST)
        cls.srv.add_job_def(GATED, definition("gated", scripts={"precondition": "exit 4"}), owner=HOST)
        cls.srv.add_job_def(RESTORE, definition("restore", type=2, subtype=13, source=None), owner=HOST)
        conf_path = os.path.join(sandbox_env.AGENT_CONF_DIR, "agent.conf")
        with open(conf_path) as f:
            conf = json.load(f)
        conf.update({"rpc_port": 0, "svc_conf": os.path.join(sandbox_env.AGENT_CONF_DIR, "svc.conf")})
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        with open(conf["svc_conf"], "w") as f:
            f.write(SVC_CONF.format(m=MODULE))
        cls.log = os.path.join(tmp, "agent.log")
        cls.start_agent()

    @classmethod
    def start_agent(cls):
        import subprocess
        port_file = WORK + "/rpc-port"
        if os.path.exists(port_file):
            os.unlink(port_file)
        with open(cls.log, "a") as log:
            cls.proc = subprocess.Popen([AGENT, "serve"], stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if cls.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("the agent did not start:\n" + open(cls.log).read())
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.terminate()
            cls.proc.wait(60)
        cls.srv.stop()

    def agent(self, *args):
        import subprocess
        return subprocess.run([AGENT] + list(args), capture_output=True, text=True, timeout=60)

    def wait_run(self, act, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            runs = self.srv.job_runs(job_act_id=act)
            if runs and runs[0]["state"] == "ended":
                return runs[0]
            time.sleep(0.05)
        self.fail("run %s did not end: %s\n%s" % (act, self.srv.job_runs(job_act_id=act), open(self.log).read()))

    def wait_state(self, job, state, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = self.agent("job", "status", job)
            if " state=%s " % state in r.stdout:
                return r.stdout
            time.sleep(0.05)
        self.fail("job %s never %s: %s" % (job, state, self.agent("job", "status", job).stdout))

    def test_server_start_runs_the_job_and_records_its_course(self):
        answer = self.srv.job_command(JOB, "start", {"steps": 4, "step_ms": 20})
        act = answer["job_act_id"]
        self.assertEqual(answer["result"]["state"], "running")
        run = self.wait_run(act)
        self.assertEqual((run["origin"], run["outcome"], run["progress"], run["owner"]),
                         ("server", "success", 100, HOST))
        events = self.srv.job_events(job_act_id=act)
        self.assertEqual([(e["event"], e["params"].get("percent")) for e in events],
                         [("start", None), ("progress", 25), ("progress", 50), ("progress", 75),
                          ("progress", 100), ("success", None), ("complete", None)])
        self.assertEqual({(e["definition_id"], e["params"]["host_uuid"]) for e in events}, {(JOB, HOST)})
        self.assertEqual(events[-1]["params"]["outcome"], "success")
        # The run's log holds what its thread logged, each line ended.
        with open("%s/log/jobs/%s/%s.log" % (WORK, JOB, act)) as f:
            log = f.read()
        self.assertIn("INFO Test job step 4\n", log)
        self.assertTrue(log.endswith("Run ended: success\n"), log)
        # The activity record: magic, then the state idle after the run.
        with open("%s/act/%s.act" % (WORK, JOB), "rb") as f:
            record = f.read()
        self.assertEqual(len(record), 256)
        self.assertEqual(record[:4], b"JACT")
        self.assertEqual(struct.unpack_from("<i", record, 24)[0], 1)
        r = self.agent("job", "status", JOB)
        self.assertEqual((r.returncode, r.stdout),
                         (0, "%s state=idle progress=100%% outcome=success run=%s name=quick\n" % (JOB, act)))

    def test_administrator_stop_and_pause_of_a_running_job(self):
        for command, outcome in (("stop", "canceled"), ("pause", "paused")):
            r = self.agent("job", "start", SLOW, '{"steps": 500, "step_ms": 20}')
            self.assertEqual(r.returncode, 0, r.stderr)
            act = r.stdout.split(" run=")[1].split()[0]
            self.wait_state(SLOW, "running")
            r = self.agent("job", "start", SLOW)
            self.assertEqual((r.returncode, r.stderr),
                             (1, "strovix3-agent: job %s refused start while running\n" % SLOW))
            r = self.agent("job", command, SLOW)
            self.assertEqual(r.returncode, 0, r.stderr)
            run = self.wait_run(act)
            self.assertEqual((run["origin"], run["outcome"]), ("agent", outcome))
            self.assertLess(run["progress"], 100)
            # Nothing runs now: the request is refused, not recorded.
            r = self.agent("job", command, SLOW)
            self.assertEqual((r.returncode, r.stderr),
                             (1, "strovix3-agent: job %s refused %s while idle\n" % (SLOW, command)))

    def test_failure_raises_its_alert_and_precondition_skips_quietly(self):
        act = self.srv.job_command(JOB, "start", {"fail": True, "steps": 1})["job_act_id"]
        run = self.wait_run(act)
        self.assertEqual((run["outcome"], run["error"]), ("failure", "told to fail"))
        alerts = self.srv.job_alerts(job_act_id=act)
        self.assertEqual([(a["category"], a["code"], a["flags"], a["severity"], a["parameters"]) for a in alerts],
                         [(7, 5, 1 << 44, 1, {"why": "told to"})])
        act = self.srv.job_command(GATED, "start")["job_act_id"]
        run = self.wait_run(act)
        self.assertEqual([e["event"] for e in self.srv.job_events(job_act_id=act)], ["complete"])
        self.assertIsNone(run["outcome"])

    def test_refused_commands(self):
        r = self.agent("job", "start", "no-such-definition")
        self.assertEqual((r.returncode, r.stderr), (1, "strovix3-agent: no job definition no-such-definition\n"))
        answer = self.srv.job_command(RESTORE, "start")
        self.assertEqual(answer["error"]["message"],
                         'the job creator of "test" makes no job of type restore, subtype point_in_time')
        self.assertEqual(self.srv.job_runs(job_act_id=answer["job_act_id"])[0]["state"], "refused")
        r = self.agent("job", "start", JOB, "[1]")
        self.assertEqual((r.returncode, r.stderr), (2, "strovix3-agent: options must be a JSON object\n"))
        r = self.agent("job", "list")
        self.assertEqual(sorted(r.stdout.splitlines()),
                         sorted("%s test backup full %s" % (i, n)
                                for i, n in ((JOB, "quick"), (SLOW, "slow"), (GATED, "gated"))))

    def test_zz_agent_stop_ends_a_running_job_first(self):
        r = self.agent("job", "start", SLOW, '{"steps": 1000, "step_ms": 20}')
        act = r.stdout.split(" run=")[1].split()[0]
        self.wait_state(SLOW, "running")
        self.proc.terminate()
        self.assertEqual(self.proc.wait(60), 0)
        self.assertEqual(self.wait_run(act)["outcome"], "canceled")
        log = open(self.log).read()
        self.assertIn("Service Test_Job_Creator destroyed", log)
        self.start_agent()


if __name__ == "__main__":
    unittest.main()
