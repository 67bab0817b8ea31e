"""Installing, starting, stopping and removing simulated HANA systems.

See README.md for the layout a system gets and for the state file."""

import configparser
import grp
import os
import pwd
import shutil
import socket
import time

from . import common
from .common import SimError

DEFAULT_VERSION = "2.00.070.00.1700000000"
DEFAULT_PASSWORD = "Manager1"
DEFAULT_USER = "SYSTEM"
LISTEN_TIMEOUT = 15.0
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
SAPSTARTSRV_HELPER = "hana-sim-sapstartsrv"
# Passed on from whoever starts the instance to the backint runs it starts.
BACKINT_ENV = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "STROVIX3_BACKOFF_SCALE")

DEFAULT_SCHEMAS = [
    ["SYS", "SYS", "TRUE"],
    ["SYSTEM", "SYSTEM", "TRUE"],
    ["_SYS_STATISTICS", "_SYS_STATISTICS", "FALSE"],
]


def _require_sandbox():
    # The simulator rewrites /etc/passwd, /etc/group and /usr/sap: it must
    # never run against a real host's trees.
    if os.environ.get("HANA_SANDBOX") != "1":
        raise SimError("refusing to run outside the test sandbox (HANA_SANDBOX is not 1)")
    if not os.path.ismount(common.usr_sap()):
        raise SimError("refusing to run: %s is not a private mount" % common.usr_sap())


def _normalise_hosts(hosts, default_host):
    if not hosts:
        return [{"name": default_host, "role": "worker"}]
    out = []
    for h in hosts:
        if isinstance(h, str):
            out.append({"name": h, "role": "worker"})
        else:
            out.append({"name": h["name"], "role": h.get("role", "worker")})
    return out


def _replication_section(replication):
    if replication is None:
        return None
    if isinstance(replication, dict):
        return dict(replication)
    mode = str(replication)
    return {"mode": mode, "actual_mode": mode, "operation_mode": "logreplay"}


def _tenant_port(number, index):
    return 30000 + 100 * number + 41 + 3 * index


def sql_port(state, database=None):
    """The SQL port of a database (None: the system database)."""
    number = state["instance_number"]
    if not state["multi_container"]:
        return 30000 + 100 * number + 15
    if database is None or database == "SYSTEMDB":
        return 30000 + 100 * number + 13
    return state["databases"][database]["sql_port"]


def listening_ports(state):
    """The ports the running instance listens on."""
    number = state["instance_number"]
    ports = [30000 + 100 * number + 1]
    if state["multi_container"]:
        ports.append(30000 + 100 * number + 13)
        for name, db in state["databases"].items():
            if name != "SYSTEMDB" and db.get("active", True):
                ports.append(db["sql_port"])
    else:
        ports.append(30000 + 100 * number + 15)
    return ports


def _new_database(description, active, port):
    return {"description": description, "active": active, "sql_port": port,
            "schemas": [list(s) for s in DEFAULT_SCHEMAS]}


def add_tenant(state, name, active=True, description=""):
    """Adds a tenant database to a state (multi-container only)."""
    if not state["multi_container"]:
        raise SimError("a single-container system has no tenants")
    if name in state["databases"]:
        raise SimError("database %s exists" % name)
    used = {db.get("sql_port") for db in state["databases"].values()}
    index = 0
    while _tenant_port(state["instance_number"], index) in used:
        index += 1
    state["databases"][name] = _new_database(description, active,
                                             _tenant_port(state["instance_number"], index))


def _initial_state(sid, instance, multi_container, tenants, version, replication,
                   hosts, user, password, host):
    state = {
        "sid": sid,
        "instance_number": instance,
        "instance_name": common.instance_name(instance),
        "host": host,
        "hosts": hosts,
        "multi_container": multi_container,
        "version": version,
        "replication": replication,
        "users": {user: password},
        "userstore": {},
        "databases": {},
        "running": False,
        "service_pids": [],
        "daemon_pid": 0,
        "service_env": {},
        "service_env_omit": [],
        "ini_defaults": {
            "global.ini": {
                "persistence": {"log_mode": "normal", "enable_auto_log_backup": "yes"},
                "backup": {"log_backup_using_backint": "false",
                           "catalog_backup_using_backint": "false"},
            }
        },
        "backup_catalog": [],
        "backup_progress": [],
        "next_backup_id": 1700000000001,
        "faults": [],
        # Single-container systems are of the generation that speaks the
        # older protocol and names no database in the backint user id.
        "backint": {"software_id": "1.50" if multi_container else "1.04", "data_size": 65536},
    }
    if multi_container:
        state["databases"]["SYSTEMDB"] = _new_database(
            "SystemDB-%s-%02d" % (sid, instance), True, 30000 + 100 * instance + 13)
        if tenants is None:
            tenants = [sid]
        for t in tenants:
            if isinstance(t, str):
                add_tenant(state, t)
            else:
                add_tenant(state, t["name"], t.get("active", True), t.get("description", ""))
    else:
        state["databases"][sid] = _new_database("", True, 30000 + 100 * instance + 15)
    return state


# ---------------------------------------------------------------- files


def _write_ini(path, sections, top_level=None):
    """Writes an ini file; keys keep their case."""
    lines = []
    for k, v in (top_level or {}).items():
        lines.append("%s = %s" % (k, v))
    if lines:
        lines.append("")
    for section, values in sections.items():
        lines.append("[%s]" % section)
        for k, v in values.items():
            lines.append("%s = %s" % (k, v))
        lines.append("")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def read_ini(path):
    """Sections of an ini file as nested dicts (keys keep their case)."""
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str
    try:
        parser.read(path)
    except configparser.Error:
        # HANA ignores what it cannot parse; so do the views built on it.
        return {}
    return {s: dict(parser.items(s)) for s in parser.sections()}


def write_ini_value(path, section, key, value):
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str
    if os.path.exists(path):
        parser.read(path)
    if not parser.has_section(section):
        parser.add_section(section)
    if value is None:
        parser.remove_option(section, key)
        if not parser.items(section):
            parser.remove_section(section)
    else:
        parser.set(section, key, value)
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        parser.write(f)
    os.replace(tmp, path)


def _global_ini_sections(state, multidb_section=True):
    sections = {}
    # Single-container HANA 1.0 installations have no [multidb] section.
    if multidb_section or state["multi_container"]:
        sections["multidb"] = {"mode": "multidb" if state["multi_container"] else "singledb"}
    rep = _replication_section(state["replication"])
    if rep is not None:
        sections["system_replication"] = rep
    return sections


def _nameserver_ini_sections(state, landscape_id):
    number = state["instance_number"]
    hosts = state["hosts"]
    master = hosts[0]["name"]
    landscape = {
        "id": landscape_id,
        "master": "%s:3%02d01" % (master, number),
        "worker": " ".join(h["name"] for h in hosts if h["role"] == "worker"),
        "active_master": "%s:3%02d01" % (master, number),
    }
    standby = [h["name"] for h in hosts if h["role"] == "standby"]
    if standby:
        landscape["standby"] = " ".join(standby)
    for h in hosts:
        landscape["roles_%s" % h["name"]] = h["role"]
    return {"landscape": landscape}


def _program_script(sid, program):
    return ("#!/usr/bin/python3\n"
            "import sys\n"
            "sys.path.insert(0, %r)\n"
            "from hana_sim import programs\n"
            "sys.exit(programs.main(%r, %r))\n") % (common.lib_dir(sid), program, sid)


def _write_executable(path, text, mode=0o755):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def _find_sapstartsrv_helper():
    candidates = []
    if os.environ.get("HANA_SIM_SAPSTARTSRV"):
        candidates.append(os.environ["HANA_SIM_SAPSTARTSRV"])
    if os.environ.get("HANA_BINARY_DIR"):
        candidates.append(os.path.join(os.environ["HANA_BINARY_DIR"], "tools", SAPSTARTSRV_HELPER))
    for c in candidates:
        if os.path.isfile(c) and os.access(c, os.X_OK):
            return c
    return None


def _install_sapstartsrv(path):
    helper = _find_sapstartsrv_helper()
    if helper:
        shutil.copyfile(helper, path)
        os.chmod(path, 0o755)
        return
    # Without the compiled helper the command line still starts with the
    # program's path, followed by the interpreter's arguments.
    _write_executable(path, "#!/bin/bash\nexec -a \"$0\" /usr/bin/python3 -c '"
                      "import os,time\n"
                      "w=os.environ.get(\"HANA_SIM_WATCH\")\n"
                      "while not w or os.path.exists(w): time.sleep(0.5)\n"
                      "' \"$@\"\n")


def _add_adm_user(sid):
    user = common.adm_user(sid)
    gid = grp.getgrnam(common.SAPSYS_GROUP).gr_gid
    try:
        return pwd.getpwnam(user).pw_uid
    except KeyError:
        pass
    used = {p.pw_uid for p in pwd.getpwall()}
    uid = 30001
    while uid in used:
        uid += 1
    with open("/etc/passwd", "a") as f:
        f.write("%s:x:%d:%d:SAP HANA Database System Administrator:%s/home:/bin/bash\n"
                % (user, uid, gid, common.sid_dir(sid)))
    _set_group_member(common.SAPSYS_GROUP, user, True)
    return uid


def _set_group_member(group, user, member):
    # /etc/group is a bind mount in the sandbox: rewrite it in place.
    with open("/etc/group") as f:
        lines = f.readlines()
    out = []
    for line in lines:
        fields = line.rstrip("\n").split(":")
        if len(fields) == 4 and fields[0] == group:
            members = [m for m in fields[3].split(",") if m and m != user]
            if member:
                members.append(user)
            fields[3] = ",".join(members)
            line = ":".join(fields) + "\n"
        out.append(line)
    if out != lines:
        with open("/etc/group", "w") as f:
            f.writelines(out)


def _remove_adm_user(sid):
    user = common.adm_user(sid)
    with open("/etc/passwd") as f:
        lines = f.readlines()
    _set_group_member(common.SAPSYS_GROUP, user, False)
    kept = [l for l in lines if not l.startswith(user + ":")]
    if kept != lines:
        # /etc/passwd is a bind mount in the sandbox: rewrite in place.
        with open("/etc/passwd", "w") as f:
            f.writelines(kept)


def _sapservices_line(state):
    sid = state["sid"]
    exe = common.exe_dir(sid, state["instance_number"])
    return ("LD_LIBRARY_PATH=%s:$LD_LIBRARY_PATH;export LD_LIBRARY_PATH;"
            "%s/sapstartsrv pf=%s/%s_%s_%s -D -u %s\n"
            % (exe, exe, common.profile_dir(sid), sid, state["instance_name"],
               state["host"], common.adm_user(sid)))


def _update_sapservices(sid, line):
    path = common.sapservices_path()
    lines = []
    if os.path.exists(path):
        with open(path) as f:
            lines = f.readlines()
    marker = "/usr/sap/%s/" % sid
    lines = [l for l in lines if marker not in l]
    if not lines:
        lines = ["#!/bin/sh\n"]
    if line:
        lines.append(line)
    if len(lines) == 1 and not line:
        os.unlink(path) if os.path.exists(path) else None
        return
    with open(path, "w") as f:
        f.writelines(lines)
    os.chmod(path, 0o755)


def install(sid="HDB", instance=0, multi_container=True, tenants=None,
            version=DEFAULT_VERSION, replication=None, hosts=None,
            password=DEFAULT_PASSWORD, user=DEFAULT_USER, host=None,
            start_service=True, start=True, landscape_id=None, multidb_section=True,
            shared_root=None):
    """Installs a simulated system; see README.md. Returns the state."""
    _require_sandbox()
    sid = str(sid)
    if len(sid) != 3 or not sid.isalnum() or not sid[0].isalpha() or sid != sid.upper():
        raise SimError("invalid SID %r: three upper-case letters or digits" % sid)
    instance = int(instance)
    if not 0 <= instance <= 99:
        raise SimError("invalid instance number %d" % instance)
    if os.path.exists(common.sid_dir(sid)):
        raise SimError("system %s is already installed" % sid)
    for other in common.installed_sids():
        # Instance numbers fix the ports, so they are unique on a host.
        if common.load_state(other)["instance_number"] == instance:
            raise SimError("instance number %02d is already used by %s" % (instance, other))
    hosts = _normalise_hosts(hosts, host or socket.gethostname())
    names = [h["name"] for h in hosts]
    if host is not None and host not in names:
        raise SimError("host %s is not one of the hosts %s" % (host, ", ".join(names)))
    host = host or names[0]
    state = _initial_state(sid, instance, bool(multi_container), tenants, version,
                           replication, hosts, user, password, host)

    uid = _add_adm_user(sid)
    gid = grp.getgrnam(common.SAPSYS_GROUP).gr_gid
    idir = common.instance_dir(sid, instance)
    hdb_exe = common.sid_dir(sid) + "/SYS/exe/hdb"
    shared = None
    if shared_root:
        # As HANA installs it: the instance directory and the programs live
        # in the shared tree, /usr/sap/<SID> links into it.
        shared = os.path.join(shared_root, sid)
        os.makedirs(shared_root, exist_ok=True)
        os.makedirs(shared + "/" + common.instance_name(instance))
        os.makedirs(shared + "/exe/linuxx86_64/hdb")
        os.makedirs(common.sid_dir(sid) + "/SYS/exe")
        os.symlink(shared + "/exe/linuxx86_64/hdb", hdb_exe)
        os.symlink(shared + "/" + common.instance_name(instance), idir)
        state["shared_dir"] = shared
    dirs = [common.sid_dir(sid), common.sid_dir(sid) + "/home", common.profile_dir(sid),
            hdb_exe, common.config_dir(sid), common.global_dir(sid) + "/opt",
            common.backint_dir(sid), idir, idir + "/work",
            "%s/%s/trace" % (idir, host), common.sim_dir(sid), common.lib_dir(sid) + "/hana_sim"]
    from .backup import pipe_dir
    for name in state["databases"]:
        dirs.append(pipe_dir(state, name))
        if name != "SYSTEMDB" and state["multi_container"]:
            dirs.append("%s/%s/trace/DB_%s" % (idir, host, name))
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    os.symlink(hdb_exe, idir + "/exe")

    for name in os.listdir(PACKAGE_DIR):
        if name.endswith(".py"):
            shutil.copyfile(os.path.join(PACKAGE_DIR, name),
                            os.path.join(common.lib_dir(sid), "hana_sim", name))
    for program in ("hdbsql", "hdbuserstore", "hdbsrvutil", "HDB"):
        _write_executable(os.path.join(hdb_exe, program), _program_script(sid, program))
    _write_executable(idir + "/HDB", _program_script(sid, "HDB"))
    _write_executable(common.sim_dir(sid) + "/hdbdaemon", _program_script(sid, "daemon"))
    _install_sapstartsrv(hdb_exe + "/sapstartsrv")

    profile = "%s/%s_%s_%s" % (common.profile_dir(sid), sid, state["instance_name"], host)
    with open(profile, "w") as f:
        f.write("SAPSYSTEMNAME = %s\nSAPSYSTEM = %02d\nINSTANCE_NAME = %s\n"
                "DIR_INSTANCE = %s\nSAPLOCALHOST = %s\n"
                % (sid, instance, state["instance_name"], idir, host))
    with open(common.profile_dir(sid) + "/DEFAULT.PFL", "w") as f:
        f.write("SAPSYSTEMNAME = %s\nSAPGLOBALHOST = %s\n" % (sid, host))

    if landscape_id is None:
        landscape_id = "%08x-0000-4000-8000-%012x" % (instance, abs(hash(sid)) % (1 << 48))
    _write_ini(common.config_dir(sid) + "/global.ini", _global_ini_sections(state, multidb_section))
    _write_ini(common.config_dir(sid) + "/nameserver.ini",
               _nameserver_ini_sections(state, landscape_id))
    _update_sapservices(sid, _sapservices_line(state))

    common.save_state(sid, state)
    common.clear_calls(sid)
    marker = common.sandbox_marker()
    if marker and not os.path.exists(marker):
        open(marker, "w").close()
        os.chmod(marker, 0o644)

    for top in [common.sid_dir(sid)] + ([shared] if shared else []):
        for root_dir, subdirs, files in os.walk(top):
            for n in subdirs + files:
                p = os.path.join(root_dir, n)
                if not os.path.islink(p):
                    os.lchown(p, uid, gid)
        os.chown(top, uid, gid)
    os.chmod(common.sim_dir(sid), 0o2770)
    for n in ("state.json", "calls.jsonl"):
        common.share_with_adm(sid, os.path.join(common.sim_dir(sid), n))
    open(common.lock_path(sid), "a").close()
    common.share_with_adm(sid, common.lock_path(sid))

    if start_service:
        start_service_process(sid)
    if start:
        start_instance(sid)
    return common.load_state(sid)


def uninstall(sid):
    """Stops everything of the system and removes its files and user."""
    _require_sandbox()
    shared = None
    if os.path.exists(common.state_path(sid)):
        stop_instance(sid)
        stop_service_process(sid)
        shared = common.load_state(sid).get("shared_dir")
    if shared and os.path.isdir(shared):
        shutil.rmtree(shared)
    if os.path.exists(common.sid_dir(sid)):
        shutil.rmtree(common.sid_dir(sid))
    _update_sapservices(sid, None)
    _remove_adm_user(sid)


# ---------------------------------------------------------------- processes


def service_environment(state):
    sid = state["sid"]
    number = state["instance_number"]
    idir = common.instance_dir(sid, number)
    exe = common.exe_dir(sid, number)
    user = common.adm_user(sid)
    env = {
        "PATH": "%s:%s:/usr/local/bin:/usr/bin:/bin" % (exe, idir),
        "HOME": common.sid_dir(sid) + "/home",
        "USER": user,
        "LOGNAME": user,
        "SHELL": "/bin/bash",
        "SAPSYSTEMNAME": sid,
        "SAPSYSTEM": "%02d" % number,
        "TINSTANCE": "%02d" % number,
        "DIR_INSTANCE": idir,
        "DIR_EXECUTABLE": exe,
        "HOSTNAME": state["host"],
        "SAP_RETRIEVAL_PATH": "%s/%s" % (idir, state["host"]),
        "LD_LIBRARY_PATH": exe,
    }
    marker = common.sandbox_marker()
    if marker:
        env["HANA_SIM_WATCH"] = marker
    for k in state.get("service_env_omit", []):
        env.pop(k, None)
    env.update(state.get("service_env", {}))
    return env


def start_service_process(sid, additional=False):
    """Starts the instance's sapstartsrv process (another one with
    `additional`); returns its pid."""
    with common.state_update(sid) as state:
        alive = [p for p in state["service_pids"] if common.pid_alive(p)]
        if alive and not additional:
            state["service_pids"] = alive
            return alive[0]
        exe = common.exe_dir(sid, state["instance_number"])
        profile = "%s/%s_%s_%s" % (common.profile_dir(sid), sid, state["instance_name"], state["host"])
        argv = [exe + "/sapstartsrv", "pf=" + profile, "-D", "-u", common.adm_user(sid)]
        pid = common.spawn_detached(argv, service_environment(state), user=common.adm_user(sid),
                                    executable=exe + "/sapstartsrv")
        alive.append(pid)
        state["service_pids"] = alive
    _wait_for(lambda: _cmdline(pid).startswith(argv[0]), 5.0)
    return pid


def _cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def start_impostor(sid, user="nobody", env=None):
    """Starts a process with the command line of the system's sapstartsrv
    (the same program) as `user`, with the start service's environment
    changed by `env` (a value None removes the variable); returns its pid.
    Ended with the start service processes."""
    with common.state_update(sid) as state:
        exe = common.exe_dir(sid, state["instance_number"])
        profile = "%s/%s_%s_%s" % (common.profile_dir(sid), sid, state["instance_name"], state["host"])
        argv = [exe + "/sapstartsrv", "pf=" + profile, "-D", "-u", common.adm_user(sid)]
        environment = service_environment(state)
        for k, v in (env or {}).items():
            if v is None:
                environment.pop(k, None)
            else:
                environment[k] = v
        pid = common.spawn_detached(argv, environment, user=user, executable=exe + "/sapstartsrv")
        state.setdefault("impostor_pids", []).append(pid)
    _wait_for(lambda: _cmdline(pid).startswith(argv[0]), 5.0)
    return pid


def stop_service_process(sid):
    with common.state_update(sid) as state:
        pids = state["service_pids"] + state.get("impostor_pids", [])
        state["service_pids"] = []
        state["impostor_pids"] = []
    for pid in pids:
        common.kill_and_wait(pid)


def _wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def daemon_running(state):
    return common.pid_alive(state.get("daemon_pid", 0))


def start_instance(sid):
    """What `HDB start` does: the start service runs, the listener opens the
    SQL ports and the state says running. Raises SimError on failure."""
    state = common.load_state(sid)
    if not [p for p in state["service_pids"] if common.pid_alive(p)]:
        start_service_process(sid)
    with common.state_update(sid) as state:
        if not daemon_running(state):
            argv = ["hdbdaemon", common.sim_dir(sid) + "/hdbdaemon"]
            env = {"PATH": "/usr/bin:/bin"}
            # The listener runs the automatic log backups' backint.
            env.update({k: os.environ[k] for k in BACKINT_ENV if k in os.environ})
            marker = common.sandbox_marker()
            if marker:
                env["HANA_SIM_WATCH"] = marker
            state["daemon_pid"] = common.spawn_detached(
                argv, env, user=common.adm_user(sid), executable="/usr/bin/python3")
        state["running"] = True
        pid = state["daemon_pid"]
        ports = listening_ports(state)
    address = common.host_address(state)
    ok = _wait_for(lambda: all(common.port_listening(p, address) for p in ports) or not common.pid_alive(pid),
                   LISTEN_TIMEOUT)
    if not ok or not common.pid_alive(pid):
        with common.state_update(sid) as state:
            state["running"] = False
        common.kill_and_wait(pid)
        raise SimError("instance %s %s did not start listening on %s (see %s)"
                       % (sid, common.instance_name(state["instance_number"]),
                          ports, common.daemon_log_path(sid)))


def stop_instance(sid):
    """What `HDB stop` does: the listener ends, no port listens any more."""
    with common.state_update(sid) as state:
        pid = state.get("daemon_pid", 0)
        state["daemon_pid"] = 0
        state["running"] = False
        # A stop ends what the instance was doing.
        for entry in state["backup_catalog"]:
            if entry["state_name"] in ("running", "cancel pending"):
                now = common.format_ts(common.utc_now())
                entry.update(state_name="failed", utc_end_time=now, sys_end_time=now,
                             message="interrupted by the instance stop")
    common.kill_and_wait(pid)


def reconfigure(sid):
    """Tells a running listener to open and close ports after the state
    changed (tenant started or stopped); waits until it did."""
    state = common.load_state(sid)
    pid = state.get("daemon_pid", 0)
    if not common.pid_alive(pid):
        return
    import signal
    os.kill(pid, signal.SIGHUP)
    wanted = set(listening_ports(state))
    all_ports = wanted | {db["sql_port"] for db in state["databases"].values()}
    address = common.host_address(state)
    _wait_for(lambda: all(common.port_listening(p, address) == (p in wanted) for p in all_ports), 5.0)
