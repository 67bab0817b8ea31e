"""The demo's script; runs inside tests/sandbox/run (see tools/demo)."""
import json
import os
import subprocess
import sys
import time
import uuid

sys.path.insert(0, os.path.join(os.environ["HANA_SOURCE_DIR"], "tools"))
sys.path.insert(0, os.path.join(os.environ["HANA_SOURCE_DIR"], "tests", "support"))

import hana_sim  # noqa: E402
from backupd.client import Backupd  # noqa: E402

SID = "DMO"
TENANT = "T01"
PASSWORD = "Demo-Pass1"
HOST_UUID = "5e0d3f2a-7c41-4b8e-9a26-0d1f2e3c4b5a"
ACCESS_KEY = "demo-access-key-" + uuid.uuid4().hex
POOL_UUID = "8c3b1a90-1d2e-4f3a-8b4c-5d6e7f8a9b0c"
POOL_DIR = "/var/opt/corvane/strovix3/demo-pool"
AGENT_CONF_DIR = "/etc/opt/corvane/strovix3/agent"
DATA_SIZE = 48 * 1024 * 1024  # bytes per service volume


def step(text):
    print("== " + text, flush=True)


def hdbsql(statement, database="SYSTEMDB"):
    exe = "/usr/sap/%s/SYS/exe/hdb/hdbsql" % SID
    r = subprocess.run([exe, "-i", "00", "-u", "SYSTEM", "-p", PASSWORD, "-d", database, statement],
                       capture_output=True, text=True)
    if r.returncode != 0:
        runs = [c for c in hana_sim.calls(SID, program="hana-backint") if c.get("exit")]
        detail = "\n".join(runs[-1].get("output", []) + [runs[-1].get("console", "")]) if runs else ""
        raise SystemExit("demo: statement failed: %s\n%s\n%s" % (statement.split(" USING")[0], r.stderr.strip(),
                                                               detail))
    return r.stdout


def backint(function, lines, user_id):
    """Runs hana-backint as <sid>adm the way HANA would, with an input file."""
    work = os.path.join(os.environ["HANA_SANDBOX_SCRATCH"], "demo-" + function)
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o777)
    in_file, out_file = os.path.join(work, "in"), os.path.join(work, "out")
    with open(in_file, "w") as f:
        f.write('#SOFTWAREID "backint 1.50" "HANA HDB server 2.00.070.00"\n' + "".join(l + "\n" for l in lines))
    st = hana_sim.state(SID)
    adm = SID.lower() + "adm"
    import pwd
    pw = pwd.getpwnam(adm)
    env = {"PATH": "/usr/bin:/bin", "HOME": pw.pw_dir, "USER": adm, "SAPSYSTEMNAME": SID,
           "DIR_INSTANCE": "/usr/sap/%s/HDB00" % SID, "TINSTANCE": "00", "SAPSYSTEM": "00",
           "HOSTNAME": st["host"]}
    r = subprocess.run(["/usr/sap/%s/SYS/global/hdb/opt/hana-backint" % SID, "-u", user_id, "-f", function,
                        "-i", in_file, "-o", out_file], user=pw.pw_uid, group=pw.pw_gid, extra_groups=[79],
                       env=env, cwd="/", capture_output=True, text=True)
    with open(out_file) as f:
        return r.returncode, f.read().splitlines()


def plugin_at_work(server):
    """strovix3-agent with hana-agent-plugin: start, probe, an account, and
    the list service through the server, with each database's log backup
    mode."""
    agent_bin = "/opt/corvane/strovix3/bin/strovix3-agent"
    work = "/var/opt/corvane/strovix3/agent"
    conf_path = AGENT_CONF_DIR + "/agent.conf"
    with open(conf_path) as f:
        conf = json.load(f)
    conf["rpc_port"] = 0
    with open(conf_path, "w") as f:
        json.dump(conf, f)
    log_path = os.path.join(os.environ["HANA_SANDBOX_SCRATCH"], "strovix3-agent.log")
    with open(log_path, "w") as log:
        agent = subprocess.Popen([agent_bin, "serve"], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.time() + 30
        while not (os.path.exists(work + "/rpc-port")
                   and HOST_UUID in [a["host_uuid"] for a in server.agents()]):
            if agent.poll() is not None or time.time() > deadline:
                with open(log_path) as f:
                    raise SystemExit("demo: strovix3-agent did not start:\n" + f.read())
            time.sleep(0.05)
        with open(work + "/rpc-port") as f:
            print("   strovix3-agent serves JSON-RPC on 127.0.0.1:%s and registered with backupd" % f.read().strip())

        def command(*args, stdin=None):
            r = subprocess.run([agent_bin] + list(args), input=stdin, capture_output=True, text=True, timeout=120)
            if r.returncode != 0:
                raise SystemExit("demo: strovix3-agent %s failed:\n%s" % (" ".join(args), r.stderr))
            return r.stdout

        for line in command("probe").splitlines():
            kind, name, options = line.split(" ", 2)
            options = json.loads(options)
            print("   probe: %s %s (HANA %s, multi-container %s)" % (kind, name, options["version"],
                                                                     options["multi_container"]))
        registry_name = "%s_HDB00" % SID
        print("   " + command("account", "set", "hana", registry_name, "SYSTEM", stdin=PASSWORD + "\n").strip())

        # An on-demand log backup job covers the tenant; the server lists it.
        job_def = str(uuid.uuid4())
        server.add_job_def(job_def, {"name": "log backup of %s" % TENANT})
        conf_file = "/var/opt/corvane/strovix3/agent/hana/log_backup_%s_HDB00_%s" % (SID, TENANT)
        with open(conf_file, "w") as f:
            json.dump({"job_definition_uuid": job_def}, f)

        def listed(params=None):
            call = {"host_uuid": HOST_UUID, "method": "hana.list", "timeout": 60}
            if params is not None:
                call["params"] = params
            status, answer = server.rpc("agent.forward", call, ACCESS_KEY)
            if status != 200 or "result" not in answer.get("result", {}):
                raise SystemExit("demo: hana.list through the server failed: %s" % answer)
            return answer["result"]["result"]

        for i in listed():
            print("   hana.list: instance %s %s (number %d) on %s" % (i["sid"], i["instance_name"],
                                                                      i["instance_number"], i["localhost"]))
        databases = listed({"uid": "admin", "instance": registry_name})["databases"]
        for d in databases:
            print("   hana.list: database %-8s active %-5s log backup mode %s" % (d["name"], d["active"],
                                                                                 d["log_backup_mode"]))
        if [d["log_backup_mode"] for d in databases] != ["none", "database"]:
            raise SystemExit("demo: unexpected log backup modes")
        os.unlink(conf_file)
    finally:
        agent.send_signal(15)
        agent.wait(30)


def dir_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            total += os.path.getsize(os.path.join(root, name))
    return total


def main():
    started = time.time()
    step("starting the development backupd and a simulated HANA system %s (SYSTEMDB and tenant %s)" % (SID, TENANT))
    server = Backupd(agent_conf_dir=AGENT_CONF_DIR, host_uuid=HOST_UUID, access_key=ACCESS_KEY)
    server.start()
    try:
        os.makedirs(POOL_DIR, exist_ok=True)
        server.add_pool(POOL_UUID, "file://" + POOL_DIR, name="demo-pool", compression="zstd", compression_level=1)
        hana_sim.install(sid=SID, instance=0, multi_container=True, tenants=[TENANT], password=PASSWORD)
        with hana_sim.update_state(SID) as st:
            st["backint"]["data_size"] = DATA_SIZE
        hana_sim.link_backint(SID)
        # hana-backint writes the file pool as <sid>adm.
        import pwd
        adm = pwd.getpwnam(SID.lower() + "adm")
        os.chown(POOL_DIR, adm.pw_uid, 79)
        os.chmod(POOL_DIR, 0o770)
        r = subprocess.run(["/opt/corvane/strovix3/bin/hana-access-key"], capture_output=True, text=True)
        if r.returncode != 0:
            raise SystemExit("demo: writing the access key file failed: " + r.stderr)
        landscape = hana_sim.get_ini(SID, "nameserver.ini")["landscape"]["id"]
        # What the agent's jobs leave for hana-backint: hana.conf (the local
        # backup location) and, for restores, the restore configuration of
        # each database (its pools), readable by group sapsys.
        with open(AGENT_CONF_DIR + "/hana.conf", "w") as f:
            json.dump({"local_backup": {"location": "file://" + POOL_DIR}}, f)
        os.chmod(AGENT_CONF_DIR + "/hana.conf", 0o644)
        catalog_dir = "/var/opt/corvane/strovix3/agent/hana/catalog"
        os.makedirs(catalog_dir, exist_ok=True)
        for db in ("SYSTEMDB", TENANT):
            path = "%s/%s@%s-restore-ext-conf" % (catalog_dir, SID, db)
            with open(path, "w") as f:
                json.dump({"pool_uuid": POOL_UUID, "log_pool_uuid": POOL_UUID}, f)
            os.chown(path, 0, 79)
            os.chmod(path, 0o640)
        for d in ("/var/opt/corvane", "/var/opt/corvane/strovix3", "/var/opt/corvane/strovix3/agent",
                  "/var/opt/corvane/strovix3/agent/hana", catalog_dir):
            os.chmod(d, 0o755)

        step("full data backup of SYSTEMDB and %s through hana-backint into a zstd file pool" % TENANT)
        t0 = time.time()
        for db in ("SYSTEMDB", TENANT):
            job = {"uuid": uuid.uuid4().hex, "host_uuid": HOST_UUID, "job_act_id": uuid.uuid4().hex,
                   "type": "complete", "location": "file://" + POOL_DIR, "database": db, "compression": "zstd",
                   "compression_level": 1, "sid": SID, "pool_uuid": POOL_UUID, "landscape_id": landscape,
                   "database_backup_id": 0, "extended_attrs": {"io_ctl": {"max_seconds_retry": 600}}}
            status, answer = server.request("POST", "/d2/r/hana/backint/job", dict(job, check_exist=False),
                                             access_key=ACCESS_KEY)
            if status != 200:
                raise SystemExit("demo: registering the backint job failed: %s" % answer)
            hdbsql("BACKUP DATA FOR %s USING BACKINT('COMPLETE_DATA_BACKUP') TOOLOPTION 'job_uuid=%s;'"
                   % (db, job["uuid"]))
        backup_seconds = time.time() - t0
        entries = {db: [e for e in hana_sim.backups(SID, db)
                        if e["state_name"] == "successful" and e["entry_type_name"] == "complete data backup"][-1]
                   for db in ("SYSTEMDB", TENANT)}
        files = [f for e in entries.values() for f in e["files"]]
        original = sum(f["backup_size"] for f in files)
        for db, e in entries.items():
            print("   %-8s backup id %s: %d objects" % (db, e["backup_id"], len(e["files"])))

        step("inquiry (hana-backint -f inquire, as HANA asks for %s)" % TENANT)
        rc, out = backint("inquire", ['#NULL "COMPLETE_DATA_BACKUP_databackup_3_1"'], "%s@%s" % (TENANT, SID))
        for line in out:
            print("   " + line)
        if rc != 0 or not any(l.startswith("#BACKUP") for l in out):
            raise SystemExit("demo: the inquiry found nothing")

        step("restore of %s by EBID (RECOVER DATA ... USING BACKUP_ID)" % TENANT)
        t0 = time.time()
        hdbsql("ALTER SYSTEM STOP DATABASE %s" % TENANT)
        hdbsql("RECOVER DATA FOR %s USING BACKUP_ID %s CLEAR LOG" % (TENANT, entries[TENANT]["backup_id"]))
        step("restore of %s by name (RECOVER DATA ... USING BACKINT('<prefix>'))" % TENANT)
        hdbsql("ALTER SYSTEM STOP DATABASE %s" % TENANT)
        hdbsql("RECOVER DATA FOR %s USING BACKINT('COMPLETE_DATA_BACKUP') CLEAR LOG" % TENANT)
        for how, statement in (("by EBID", "RECOVER DATA USING BACKUP_ID %s CLEAR LOG" % entries["SYSTEMDB"]["backup_id"]),
                               ("by name", "RECOVER DATA USING BACKINT('COMPLETE_DATA_BACKUP') CLEAR LOG")):
            step("restore of SYSTEMDB %s (HDB start with recoverInstance.sql)" % how)
            if hana_sim.hdb(SID, "stop").returncode != 0:
                raise SystemExit("demo: HDB stop failed")
            sql = "/usr/sap/%s/HDB00/work/recoverInstance.sql" % SID
            with open(sql, "w") as f:
                f.write(statement + "\n")
            r = hana_sim.hdb(SID, "start")
            if r.returncode != 0:
                raise SystemExit("demo: the system database's recovery failed:\n" + r.stdout + r.stderr)
        restore_seconds = time.time() - t0
        recoveries = hana_sim.recoveries(SID)
        bad = [x for x in recoveries if x.get("result") != "successful"]
        if bad:
            raise SystemExit("demo: a recovery failed: %s" % json.dumps(bad))
        print("   %d recoveries, every restored byte equal to the backup" % len(recoveries))

        step("the agent with hana-agent-plugin: start, probe, account, list through the server")
        plugin_at_work(server)

        stored = dir_size(POOL_DIR)
        step("summary")
        print("   objects saved      %d" % len(files))
        print("   bytes backed up    %d (%.1f MiB)" % (original, original / 1048576.0))
        print("   bytes in the pool  %d (%.1f MiB)" % (stored, stored / 1048576.0))
        print("   ratio              %.2f (the simulated volumes hold random bytes)" % (original / stored if stored else 0.0))
        print("   backup time        %.1f s" % backup_seconds)
        print("   restore time       %.1f s" % restore_seconds)
        print("   total time         %.1f s" % (time.time() - started))
    finally:
        hana_sim.uninstall_all()
        server.stop()


if __name__ == "__main__":
    main()
