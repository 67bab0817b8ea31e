#!/usr/bin/python3
"""strovix3-agent killed while a data backup job runs: no hdbsql of it
outlives it, HANA's backup goes on, and the next start of the agent cancels
that backup and removes what the run left (objects in the pool, the backint
job), reporting it as job alerts."""

import os
import time
import unittest

import hana_sim
import sandbox_env
from agent_job_env import Agent_Job_Env

HOST, KEY = "0a1b2c3d-0000-4000-8000-00000000e002", "key-of-the-killed-host"
RESOURCE = "5e0c0000-0000-4000-8000-0000000001a1"
POOL = "5e0c0000-0000-4000-8000-0000000001b1"
POOL_DIR = "/var/opt/corvane/test-killed-pool"
JOB = "5e0c0000-0000-4000-8000-000000000101"


def hdbsql_processes():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if any(a.endswith(b"/hdbsql") for a in argv[:2]):
            found.append((pid, b" ".join(argv[:2]).decode(errors="replace")))
    return found


class Agent_Killed_During_Backup_Test(unittest.TestCase):
    def setUp(self):
        sandbox_env.require_sandbox()
        self.env = Agent_Job_Env(sid="ABC", password="Manager1", host_uuid=HOST, access_key=KEY,
                                 resource_uuid=RESOURCE, pool_uuid=POOL, pool_dir=POOL_DIR,
                                 agent_env={"STROVIX3_BACKOFF_SCALE": "0.1"})
        self.addCleanup(self.env.stop)
        self.env.start()

    def test_restart_cancels_the_backup_and_removes_what_the_run_left(self):
        env = self.env
        with hana_sim.update_state("ABC") as st:
            st["backint"]["data_rate"] = 20000
            st["databases"]["T01"]["volumes"] = [{"volume": 0, "service": "topology"},
                                                 {"volume": 40, "service": "indexserver"}]
        env.add_backup_job(JOB, 1, ["hana/HDB00/T01"])
        act = env.start_job(JOB)
        backup_id = env.wait_until(lambda: env.running_backup("T01"), "the backup to run")
        data_set = env.data_set_dir("T01", backup_id)
        env.wait_until(lambda: os.path.isdir(data_set) and env.server.jobs(), "the data set to be written")

        env.agent.kill()
        env.agent.wait()
        deadline = time.monotonic() + 5  # the kernel ends them as it reaps the agent
        while hdbsql_processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(hdbsql_processes(), [])
        self.assertEqual(env.running_backup("T01"), backup_id)

        env.start_agent(log_mode="a")
        env.wait_until(lambda: [e["state_name"] for e in hana_sim.backups("ABC", "T01")
                                if e["backup_id"] == backup_id] == ["canceled"], "HANA's backup to be cancelled")
        env.wait_until(lambda: not env.server.jobs(), "the backint job to be removed")
        env.wait_until(lambda: not os.path.exists(data_set), "the data set to be removed")
        self.assertEqual(env.sets("T01"), [])
        def alerts():
            return [(a["job_act_id"], a["parameters"]["action"]) for a in env.server.job_alerts() if a["code"] == 21]

        env.wait_until(lambda: len(alerts()) >= 2, "the alerts")
        self.assertEqual(alerts(), [(act, "canceled"), (act, "removed")])


if __name__ == "__main__":
    import sys
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
