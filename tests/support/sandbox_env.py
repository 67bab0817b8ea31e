"""Helpers for tests that run inside tests/sandbox/run (root, private mount
namespace, private /etc/passwd and /etc/group, the build installed at the
production paths)."""
import grp
import json
import os
import pwd
import subprocess

BIN_DIR = "/opt/corvane/strovix3/bin"
BACKINT = BIN_DIR + "/hana-backint"
ACCESS_KEY_TOOL = BIN_DIR + "/hana-access-key"
AGENT_CONF_DIR = "/etc/opt/corvane/strovix3/agent"
HANA_WORK_DIR = "/var/opt/corvane/strovix3/agent/hana"
ACCESS_KEY_FILE = HANA_WORK_DIR + "/access-key"
LOG_DIR = "/var/opt/corvane/strovix3/agent/log"


def backint_log(sid):
    """hana-backint's log file of system `sid`."""
    return "%s/hana-backint-%s.log" % (LOG_DIR, sid)
SAPSYS_GID = 79


def require_sandbox():
    if os.environ.get("HANA_SANDBOX") != "1":
        raise SystemExit("run this test through tests/sandbox/run")


def add_user(name, uid, gid=SAPSYS_GID, home=None):
    """Adds a user to the sandbox's private /etc/passwd (idempotent)."""
    try:
        return pwd.getpwnam(name)
    except KeyError:
        pass
    home = home or "/usr/sap/%s/home" % name[:3].upper()
    with open("/etc/passwd", "a") as f:
        f.write("%s:x:%d:%d:%s:%s:/bin/sh\n" % (name, uid, gid, name, home))
    return pwd.getpwnam(name)


def add_sid_user(sid, uid=None):
    """Adds <sid>adm (group sapsys) and returns its name."""
    name = sid.lower() + "adm"
    add_user(name, uid or 20000 + sum(ord(c) for c in sid))
    return name


def write_agent_conf(host_uuid, host="127.0.0.1", port=0, ssl=False, access_key=None, ca_file=None):
    os.makedirs(AGENT_CONF_DIR, exist_ok=True)
    conf = {"host_uuid": host_uuid, "backupd_host": host, "backupd_port": port, "backupd_ssl": ssl}
    if ca_file:
        conf["ca_file"] = ca_file
    with open(AGENT_CONF_DIR + "/agent.conf", "w") as f:
        json.dump(conf, f)
    os.chmod(AGENT_CONF_DIR + "/agent.conf", 0o644)
    key_path = AGENT_CONF_DIR + "/access_key"
    if access_key is None:
        if os.path.exists(key_path):
            os.unlink(key_path)
    else:
        with open(key_path, "w") as f:
            f.write(access_key)
        os.chmod(key_path, 0o600)


def write_access_key_file():
    """Writes hana-backint's access key file from the agent configuration."""
    return subprocess.run([ACCESS_KEY_TOOL], capture_output=True, text=True)


def run_as(user, argv, **kwargs):
    """Runs argv as `user` (None: root) with its primary group and sapsys."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 120)
    if user is not None:
        pw = pwd.getpwnam(user)
        kwargs.update(user=pw.pw_uid, group=pw.pw_gid, extra_groups=[SAPSYS_GID])
        env = dict(kwargs.pop("env", os.environ))
        env.update(HOME=pw.pw_dir, USER=user, LOGNAME=user)
        kwargs["env"] = env
        kwargs.setdefault("cwd", "/")
    return subprocess.run(argv, **kwargs)


def sapsys_group():
    return grp.getgrgid(SAPSYS_GID).gr_name
