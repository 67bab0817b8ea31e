"""The demo's script; runs inside tests/sandbox/run (see tools/demo).

strovix3-agent with hana-agent-plugin runs the jobs that the development
backupd defines and starts, against a simulated HANA system and the real
hana-backint. Every step checks what it shows; any fault ends the demo with
a message and a non-zero exit code."""
import os
import sys
import time
import uuid

sys.path.insert(0, os.path.join(os.environ["HANA_SOURCE_DIR"], "tools"))
sys.path.insert(0, os.path.join(os.environ["HANA_SOURCE_DIR"], "tests", "support"))

import hana_sim  # noqa: E402
from agent_job_env import Agent_Job_Env, restore_entry, utc_now  # noqa: E402

SID = "DMO"
TENANT = "T01"
PASSWORD = "Demo-Pass1"
HOST_UUID = "5e0d3f2a-7c41-4b8e-9a26-0d1f2e3c4b5a"
ACCESS_KEY = "demo-access-key-" + uuid.uuid4().hex
RESOURCE_UUID = "5e0d3f2a-0000-4000-8000-0000000000a1"
POOL_UUID = "8c3b1a90-1d2e-4f3a-8b4c-5d6e7f8a9b0c"
POOL_DIR = "/var/opt/corvane/strovix3/demo-pool"
FULL_JOB, INCREMENTAL_JOB, STOPPED_JOB, LOG_JOB, RESTORE_JOB = (
    "5e0d3f2a-0000-4000-8000-00000000000%d" % i for i in (1, 2, 3, 7, 9))
DATABASES = ["SYSTEMDB", TENANT]
DATA_SIZE = 16 * 1024 * 1024  # bytes of each service volume
DATA_RATE = 4 * 1024 * 1024   # bytes per second and pipe: a backup runs long enough to be watched
STOP_DATA_RATE = 1024 * 1024
# The agent's waits scaled down: HANA's progress is read every 1.5 s instead of 30 s.
BACKOFF_SCALE = "0.05"
MiB = 1048576.0


class Demo_Failure(Exception):
    pass


def step(text):
    print("== " + text, flush=True)


def say(text):
    print("   " + text, flush=True)


def short(uuid_text):
    return (uuid_text or "-")[:8]


def require(condition, text):
    if not condition:
        raise Demo_Failure(text)


def agent_at_work(env, started):
    say(started.strip())
    for line in env.agent_command("probe").splitlines():
        kind, name, _ = line.split(" ", 2)
        say("probe: %s instance %s" % (kind, name))
    list_databases(env)


def list_databases(env):
    """The list service, called through the server's forwarding."""
    call = {"host_uuid": HOST_UUID, "method": "hana.list", "timeout": 60,
            "params": {"uid": "admin", "instance": env.registry_name}}
    status, answer = env.server.rpc("agent.forward", call, ACCESS_KEY)
    require(status == 200 and "result" in answer.get("result", {}), "hana.list through backupd failed: %s" % answer)
    databases = answer["result"]["result"]["databases"]
    require([d["name"] for d in databases] == DATABASES, "hana.list answered %s" % databases)
    for d in databases:
        say("hana.list: database %-8s active %-5s log backup mode %s" % (d["name"], d["active"], d["log_backup_mode"]))


def follow_run(env, act):
    """Prints the run's progress as the agent reports it; its record at the end."""
    t0 = time.monotonic()
    shown, last = 0, None
    while True:
        run = env.run_of(act)
        events = env.server.job_events(job_act_id=act, event="progress")
        for e in events[shown:]:
            percent = e["params"]["percent"]
            if percent != last:
                say("%5.1f s  progress %3d%%" % (time.monotonic() - t0, percent))
                last = percent
        shown = len(events)
        if run.get("state") == "ended":
            say("%5.1f s  run ended: %s" % (time.monotonic() - t0, run.get("outcome")))
            return run
        if env.agent.poll() is not None or time.monotonic() - t0 > 300:
            raise Demo_Failure("run %s did not end:\n%s" % (act, env.log_tail()))
        time.sleep(0.2)


def show_sets(env, act, kind):
    """Prints and checks the sets that run `act` committed, one a database."""
    committed = []
    for database in DATABASES:
        sets = [s for s in env.sets(database) if s.get("job_act_id") == act]
        require(len(sets) == 1, "run %s committed %d sets of %s" % (act, len(sets), database))
        s = sets[0]
        problems = env.set_problems(s)
        require(not problems, "set %s of %s: %s" % (s["uuid"], database, "; ".join(problems)))
        require(s["type"] == kind, "set %s is %s, not %s" % (s["uuid"], s["type"], kind))
        say("set %s %-8s %-11s backup id %d  %d files  %5.1f MiB, %5.1f MiB stored  lifeline %s  incarnation %s"
            % (short(s["uuid"]), database, s["type"], s["database_backup_id"], len(s["files"]),
               s["source_size"] / MiB, s["storage_size"] / MiB, short(s["lifeline"]), short(s["incarnation"])))
        committed.append(s)
    return committed


def data_backup_job(env, job, kind, what):
    step("%s data backup job of %s through the agent (started by backupd)" % (what, " and ".join(DATABASES)))
    act = env.start_job(job)
    say("run %s" % act)
    run = follow_run(env, act)
    require(run["outcome"] == "success", "the run ended %s: %s\n%s" % (run["outcome"], run.get("error"),
                                                                       env.log_tail()))
    say("strovix3-agent job status: " + env.agent_command("job", "status", job).strip())
    return show_sets(env, act, kind)


def stop_running_backup(env):
    step("stop of a running data backup job of %s" % TENANT)
    # Slower, so that the stop reaches HANA while the backup still runs.
    with hana_sim.update_state(SID) as st:
        st["backint"]["data_rate"] = STOP_DATA_RATE
    before = len(env.sets(TENANT))
    act = env.start_job(STOPPED_JOB)
    backup_id = env.wait_until(lambda: env.running_backup(TENANT), "the backup to run", 60)
    data_set = env.data_set_dir(TENANT, backup_id)
    env.wait_until(lambda: os.path.isdir(data_set), "the data set to be written", 60)
    say("run %s: HANA backup %d running, writing its data set %s in the pool"
        % (act, backup_id, os.path.relpath(data_set, POOL_DIR)))
    answer = env.server.job_command(STOPPED_JOB, "stop")
    require("result" in answer, "the stop was refused: %s" % answer)
    say("stop sent through backupd")
    run = env.wait_run(act, 120)
    entry = [e for e in hana_sim.backups(SID, TENANT) if e["backup_id"] == backup_id][0]
    say("run ended: %s; HANA's catalog says backup %d %s" % (run["outcome"], backup_id, entry["state_name"]))
    require(run["outcome"] == "canceled" and entry["state_name"] == "canceled", "the stop did not cancel the backup")
    env.wait_until(lambda: not os.path.exists(data_set), "the data set to be removed", 60)
    require(len(env.sets(TENANT)) == before, "the stopped backup committed a set")
    say("its data set is removed from the pool; no set committed")


def show_rows(when):
    rows = hana_sim.content_rows(SID, TENANT)
    say("SIM_CONTENT of %s %s: %s" % (TENANT, when, ", ".join("%s (written %s)" % (r["value"], r["written_at"][11:19])
                                                             for r in rows) or "no rows"))
    return [r["value"] for r in rows]


def written(row, more=""):
    say("row %s written at %s into SIM_CONTENT of %s%s" % (row["value"], row["written_at"][11:19], TENANT, more))


def log_backup(env, shown):
    """HANA backs up T01's logs and catalog through hana-backint; prints the
    sets that the on-demand job's runs committed since `shown`."""
    ids = env.log_backup({TENANT: LOG_JOB})[TENANT]
    sets = [s for s in env.sets(TENANT) if s.get("definition_id") == LOG_JOB and s["uuid"] not in shown]
    require(sorted(s["database_backup_id"] for s in sets) == sorted(ids),
            "HANA's log backups %s, the job's runs committed %s" % (ids, [s["database_backup_id"] for s in sets]))
    for s in sets:
        problems = env.set_problems(s)
        require(not problems, "set %s of %s: %s" % (s["uuid"], TENANT, "; ".join(problems)))
        say("set %s %-8s %-11s backup id %d  %d file%s  run %s"
            % (short(s["uuid"]), TENANT, s["type"], s["database_backup_id"], len(s["files"]),
               "" if len(s["files"]) == 1 else "s", short(s["job_act_id"])))
        shown.add(s["uuid"])


def point_in_time_recovery(env, lifeline):
    step("on-demand log backup job of %s set up through the agent (setup_ondemand sent by backupd)" % TENANT)
    env.add_log_backup_job(LOG_JOB, TENANT)
    env.setup_ondemand(LOG_JOB)
    ini = hana_sim.get_ini(SID, "global.ini").get("backup", {})
    say("global.ini [backup] log_backup_using_backint = %s, catalog_backup_using_backint = %s"
        % (ini.get("log_backup_using_backint"), ini.get("catalog_backup_using_backint")))
    require(ini.get("log_backup_using_backint") == "true", "HANA's log backups do not go through backint")

    step("%s changes; HANA backs its logs up through hana-backint, the job's runs (started by backupd) "
         "record them" % TENANT)
    shown = set()
    written(hana_sim.write(SID, "a", TENANT))
    log_backup(env, shown)
    # Timestamps are whole seconds: a second on either side of the chosen time.
    time.sleep(1.1)
    chosen = utc_now()
    say("chosen time %s UTC, for the restore" % chosen)
    time.sleep(1.1)
    written(hana_sim.write(SID, "b", TENANT))
    log_backup(env, shown)
    written(hana_sim.write(SID, "c", TENANT), "; no log backup follows it")

    step("restore job of %s to %s UTC, between the two log backups" % (TENANT, chosen))
    require(show_rows("before") == ["a", "b", "c"], "the rows written are not a, b, c")
    env.add_restore_job(RESTORE_JOB, [restore_entry(SID, TENANT, TENANT, chosen, lifeline)])
    act = env.start_job(RESTORE_JOB)
    say("run %s" % act)
    run = follow_run(env, act)
    recovery = (hana_sim.recoveries(SID) or [{}])[-1]
    require(run["outcome"] == "success", "the restore ended %s: %s %s\n%s" % (run["outcome"], run.get("error"),
                                                                             recovery, env.log_tail()))
    say("HANA: %s -> %s" % (" ".join(recovery.get("statement", "").split()), recovery.get("result")))
    require(recovery.get("result") == "successful", "HANA's recovery: %s" % recovery)
    require(show_rows("after ") == ["a"], "the restored content is not that of %s" % chosen)
    say("the content is that of %s: row a only" % chosen)


def dir_size(path):
    return sum(os.path.getsize(os.path.join(root, n)) for root, _, names in os.walk(path) for n in names)


def main():
    started = time.time()
    step("development backupd, simulated HANA system %s (SYSTEMDB and tenant %s), zstd file pool, "
         "strovix3-agent with hana-agent-plugin" % (SID, TENANT))
    env = Agent_Job_Env(sid=SID, password=PASSWORD, host_uuid=HOST_UUID, access_key=ACCESS_KEY,
                        resource_uuid=RESOURCE_UUID, pool_uuid=POOL_UUID, pool_dir=POOL_DIR, tenants=[TENANT],
                        compression="zstd", compression_level=3, agent_env={"STROVIX3_BACKOFF_SCALE": BACKOFF_SCALE})
    try:
        account = env.start()
        with hana_sim.update_state(SID) as st:
            st["backint"]["data_size"] = DATA_SIZE
            st["backint"]["data_rate"] = DATA_RATE
        entries = ["hana/%s/%s" % (env.instance_name, d) for d in DATABASES]
        env.add_backup_job(FULL_JOB, 1, entries, "full backup of %s" % SID)
        env.add_backup_job(INCREMENTAL_JOB, 2, entries, "incremental backup of %s" % SID)
        env.add_backup_job(STOPPED_JOB, 1, entries[1:], "full backup of %s" % TENANT)
        agent_at_work(env, account)
        say("(HANA's progress is read every 1.5 s here, not every 30 s; UUIDs are shortened to 8 characters)")

        full = data_backup_job(env, FULL_JOB, "full", "full")
        incremental = data_backup_job(env, INCREMENTAL_JOB, "incremental", "incremental")
        for f, i in zip(full, incremental):
            require(f["incarnation"] == f["uuid"] and i["incarnation"] == f["uuid"] and i["lifeline"] == f["lifeline"],
                    "the incremental set %s does not continue the full set %s" % (i["uuid"], f["uuid"]))
        say("each incremental set continues its full set's lifeline; its incarnation is the full set")

        stop_running_backup(env)
        point_in_time_recovery(env, full[DATABASES.index(TENANT)]["lifeline"])

        step("summary")
        sets = env.server.backup_sets()
        say("sets committed     %d" % len(sets))
        say("bytes backed up    %.1f MiB" % (sum(s["source_size"] for s in sets) / MiB))
        say("bytes in the pool  %.1f MiB" % (dir_size(POOL_DIR) / MiB))
        say("total time         %.1f s" % (time.time() - started))
    except (Demo_Failure, AssertionError) as e:
        print("demo: FAILED: %s" % e, file=sys.stderr, flush=True)
        return 1
    finally:
        env.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
