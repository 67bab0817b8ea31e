"""Hosts that run strovix3-agent with hana-agent-plugin, for tests inside
tests/sandbox/run.

`Agent_Host.local(...)` is the sandbox itself. `Agent_Host.peer(...)` is a
second host: its own mount and PID namespaces, in which /usr/sap,
/etc/opt/corvane, /var/opt/corvane, /etc/passwd and /etc/group are its own
(bind mounts of $TMPDIR/<name>/..., so a test reads the peer's files from
outside through path()), while the network (loopback: the development
backupd, the other agents) and the installed programs are shared. The
peer's /etc/opt/corvane starts as a copy of the sandbox's (the installed
service configurations) with an agent.conf and access key of its own, and
its users start as a copy of the sandbox's, so that <sid>adm has the same
uid on every host, as HANA requires of a scale-out system.

    srv = Backupd(...).start()
    main = Agent_Host.local("main", srv)           # agent.conf from backupd
    peer = Agent_Host.peer("peer", PEER_UUID, PEER_KEY, srv)
    peer.sim("install", "ABC", "--hosts", "h1,h2", "--host", "h2", ...)
    main.start_agent(); peer.start_agent()
    peer.path("/var/opt/corvane/x")                # the peer's file, seen from here
    peer.stop(); main.stop()
"""
import json
import os
import shutil
import signal
import subprocess
import time

import sandbox_env as sb

AGENT = sb.BIN_DIR + "/strovix3-agent"
WORK = "/var/opt/corvane/strovix3/agent"
HANA_SIM = os.path.join(os.environ.get("HANA_SOURCE_DIR", "."), "tools/hana_sim/hana-sim")
# The trees a peer has of its own: production path -> name below its root.
OWN_TREES = {"/usr/sap": "usr_sap", "/etc/opt/corvane": "etc", "/var/opt/corvane": "var",
             "/etc/passwd": "passwd", "/etc/group": "group"}

_ENTER = """set -e
root=$1
shift
while [ $# -gt 0 ]; do mount --bind "$root/$2" "$1"; shift 2; done
touch "$root/.entered"
exec sleep infinity
"""


def _children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def _wait(done, what, timeout, log=None):
    deadline = time.monotonic() + timeout
    while True:
        value = done()
        if value:
            return value
        if time.monotonic() > deadline:
            tail = ""
            if log and os.path.exists(log):
                with open(log) as f:
                    tail = ":\n" + f.read()[-6000:]
            raise AssertionError("waited in vain for %s%s" % (what, tail))
        time.sleep(0.05)


class Agent_Host:
    def __init__(self, name, host_uuid, key, backupd, root=None):
        self.name, self.host_uuid, self.key, self.srv = name, host_uuid, key, backupd
        self.root = root
        self.keeper = None      # unshare, whose child holds the namespaces
        self.ns_pid = None
        self.agent = None
        self.log = os.path.join(os.environ["TMPDIR"], name + "-agent.log")

    @classmethod
    def local(cls, name, backupd):
        """The sandbox as a host; backupd wrote its agent.conf and key."""
        host = cls(name, backupd.host_uuid, backupd.access_key, backupd)
        path = os.path.join(sb.AGENT_CONF_DIR, "agent.conf")
        with open(path) as f:
            host._write_conf(path, json.load(f))
        return host

    @classmethod
    def peer(cls, name, host_uuid, key, backupd):
        """A second host registered with `backupd` under its own UUID and key."""
        root = os.path.join(os.environ["TMPDIR"], name)
        os.makedirs(root + "/usr_sap")
        shutil.copytree("/etc/opt/corvane", root + "/etc", symlinks=True)
        os.makedirs(root + "/var/strovix3/agent/log")
        for f in ("passwd", "group"):
            shutil.copyfile("/etc/" + f, os.path.join(root, f))
        log_dir = root + "/var/strovix3/agent/log"
        os.chown(log_dir, 0, sb.SAPSYS_GID)
        os.chmod(log_dir, 0o3775)
        host = cls(name, host_uuid, key, backupd, root)
        conf_dir = host.path(sb.AGENT_CONF_DIR)
        host._write_conf(os.path.join(conf_dir, "agent.conf"),
                         {"host_uuid": host_uuid, "backupd_host": "127.0.0.1", "backupd_port": backupd.port,
                          "backupd_ssl": False})
        with open(os.path.join(conf_dir, "access_key"), "w") as f:
            f.write(key)
        os.chmod(os.path.join(conf_dir, "access_key"), 0o600)
        backupd.add_host(host_uuid, key)
        mounts = []
        for path, own in OWN_TREES.items():
            mounts += [path, own]
        # unshare's complaint about the end of its child goes there too.
        keeper_log = os.path.join(root, "namespaces.log")
        with open(keeper_log, "w") as log:
            host.keeper = subprocess.Popen(
                ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc", "--propagation", "private",
                 "bash", "-c", _ENTER, "enter", root] + mounts, stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT)
        _wait(lambda: os.path.exists(root + "/.entered") or host.keeper.poll() is not None,
              "host %s to come up" % name, 30, keeper_log)
        if host.keeper.poll() is not None:
            with open(keeper_log) as f:
                raise AssertionError("host %s did not come up:\n%s" % (name, f.read()))
        host.ns_pid = _wait(lambda: (_children(host.keeper.pid) or [None])[0], "the namespaces of " + name, 10)
        return host

    @staticmethod
    def _write_conf(path, conf):
        # Port 0: the agent picks a free port and names it in its rpc-port file.
        conf = dict(conf, rpc_port=0)
        with open(path, "w") as f:
            json.dump(conf, f)
        os.chmod(path, 0o644)

    def path(self, production_path):
        """Where this host's file of `production_path` is seen from the sandbox."""
        if self.root is None:
            return production_path
        for tree, own in OWN_TREES.items():
            if production_path == tree or production_path.startswith(tree + "/"):
                return os.path.join(self.root, own) + production_path[len(tree):]
        return production_path

    def argv(self, argv):
        if self.ns_pid is None:
            return list(argv)
        return ["nsenter", "-t", str(self.ns_pid), "-m", "-p", "--"] + list(argv)

    def run(self, argv, **kwargs):
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        kwargs.setdefault("timeout", 120)
        return subprocess.run(self.argv(argv), **kwargs)

    def sim(self, *args):
        """hana-sim on this host; its standard output. Raises on failure."""
        r = self.run([HANA_SIM] + list(args))
        if r.returncode != 0:
            raise AssertionError("hana-sim %s on %s: %s" % (" ".join(args), self.name, r.stderr))
        return r.stdout

    def sim_calls(self, sid, program):
        return [json.loads(line) for line in self.sim("calls", sid, "--program", program).splitlines()]

    def start_agent(self, timeout=60):
        """Starts `strovix3-agent serve`; returns once it registered."""
        port_file = self.path(WORK + "/rpc-port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        with open(self.log, "w") as log:
            self.agent = subprocess.Popen(self.argv([AGENT, "serve"]), stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=subprocess.STDOUT)
        _wait(lambda: self.agent.poll() is not None or
              (os.path.exists(port_file) and self.host_uuid in [a["host_uuid"] for a in self.srv.agents()]),
              "the agent of %s to register" % self.name, timeout, self.log)
        if self.agent.poll() is not None:
            raise AssertionError("the agent of %s exited with %d:\n%s" % (self.name, self.agent.returncode,
                                                                         self.log_text()))

    def account(self, instance, user, password):
        r = self.run([AGENT, "account", "set", "hana", instance, user], input=password + "\n")
        if r.returncode != 0:
            raise AssertionError("account set on %s: %s" % (self.name, r.stderr))

    def log_text(self):
        with open(self.log) as f:
            return f.read()

    def stop_agent(self):
        if self.agent is None or self.agent.poll() is not None:
            return
        # nsenter waits for the agent it forked inside the namespaces; the
        # signal goes to the agent itself.
        for pid in _children(self.agent.pid) if self.ns_pid else [self.agent.pid]:
            os.kill(pid, signal.SIGTERM)
        try:
            self.agent.wait(60)
        except subprocess.TimeoutExpired:
            self.agent.kill()
            self.agent.wait()

    def stop(self):
        """Stops the agent, then (a peer) its simulated systems and namespaces."""
        self.stop_agent()
        if self.keeper is not None:
            self.run([HANA_SIM, "uninstall", "--all"])
            # unshare ignores SIGTERM while it waits; the namespaces' first
            # process takes every other one with it when it is killed.
            os.kill(self.ns_pid, signal.SIGKILL)
            self.keeper.wait(30)
            self.keeper = None
