"""The fake programs of a simulated system: hdbsql, hdbuserstore, HDB,
hdbsrvutil and the listener daemon. Each `main` returns the exit code and
logs the call."""

import json
import os
import re
import selectors
import signal
import socket
import sys
import time

from . import common
from . import system
from .common import SimError

LOGGED_ENV = ("LD_LIBRARY_PATH", "HDB_START_TIMEOUT", "HDB_STOP_TIMEOUT")


class SqlError(Exception):
    """An error hdbsql reports: `* code: text SQLSTATE: state`."""

    def __init__(self, code, text, sqlstate="HY000"):
        Exception.__init__(self, text)
        self.code = code
        self.text = text
        self.sqlstate = sqlstate

    def render(self):
        return "* %s: %s SQLSTATE: %s" % (self.code, self.text, self.sqlstate)


class Output:
    def __init__(self):
        self.out = []
        self.err = []
        self.out_file = None      # hdbsql -o: results go there instead


def _call_entry(program, argv):
    return {
        "program": program,
        "argv": list(argv),
        "user": _user_name(os.getuid()),
        "uid": os.getuid(), "euid": os.geteuid(), "gid": os.getgid(), "egid": os.getegid(),
        "db_user": None, "database": None, "statement": None,
        "env": {k: os.environ[k] for k in LOGGED_ENV if k in os.environ},
        "exit": None,
    }


def _user_name(uid):
    import pwd
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def matching_fault(sid, program, text):
    """Takes one matching injected fault (counting down `times`)."""
    if not common.load_state(sid).get("faults"):
        # Most calls meet no fault; they need not rewrite the state.
        return None
    with common.state_update(sid) as state:
        for fault in state.get("faults", []):
            if fault.get("program") != program:
                continue
            if fault.get("match") and not re.search(fault["match"], text or ""):
                continue
            if fault.get("times") is not None:
                if fault["times"] <= 0:
                    continue
                fault["times"] -= 1
            return dict(fault)
    return None


def _apply_fault(fault, out):
    if fault.get("delay"):
        time.sleep(float(fault["delay"]))
    if fault.get("stdout"):
        out.out.append(fault["stdout"])
    if fault.get("stderr"):
        out.err.append(fault["stderr"])
    return int(fault.get("exit", 1))


def _flush(out):
    if out.out and out.out_file:
        try:
            with open(out.out_file, "w") as f:
                f.write("\n".join(out.out) + "\n")
        except OSError as e:
            out.err.append(SqlError(-10101, "Cannot open output file %s: %s" % (out.out_file, e.strerror)).render())
    elif out.out:
        sys.stdout.write("\n".join(out.out) + "\n")
    if out.err:
        sys.stderr.write("\n".join(out.err) + "\n")
    sys.stdout.flush()
    sys.stderr.flush()


def main(program, sid):
    try:
        if program == "hdbsql":
            return hdbsql_main(sid, sys.argv[1:])
        if program == "hdbuserstore":
            return hdbuserstore_main(sid, sys.argv[1:])
        if program == "HDB":
            return hdb_main(sid, sys.argv[1:])
        if program == "hdbsrvutil":
            return hdbsrvutil_main(sid, sys.argv[1:])
        if program == "daemon":
            return daemon_main(sid)
    except (SimError, OSError) as e:
        common.eprint("hana_sim: %s" % e)
        return 1
    common.eprint("hana_sim: unknown program %s" % program)
    return 1


# ---------------------------------------------------------------- hdbsql

# Options taking a value, and flags, as hdbsql knows them.
VALUE_OPTIONS = {"-u", "-p", "-U", "-n", "-i", "-d", "-I", "-F", "-c", "-o", "-g"}
FLAG_OPTIONS = {"-j", "-a", "-x", "-C", "-A", "-m", "-e", "-quiet", "-resultencoding"}


def parse_hdbsql_args(argv):
    """Returns (options dict, statement text or None). Raises SqlError."""
    opts = {}
    i = 0
    rest = []
    while i < len(argv):
        arg = argv[i]
        if arg in VALUE_OPTIONS:
            if i + 1 >= len(argv):
                raise SqlError(-10104, "Missing value for option %s" % arg, "HY000")
            opts[arg] = argv[i + 1]
            i += 2
        elif arg in FLAG_OPTIONS:
            opts[arg] = True
            i += 1
        elif arg.startswith("-") and len(arg) > 1 and not rest:
            raise UsageError("Unknown option: %s" % arg)
        else:
            rest.append(arg)
            i += 1
    statement = " ".join(rest) if rest else None
    return opts, statement


class UsageError(Exception):
    pass


def _masked_argv(argv):
    out = list(argv)
    for i, a in enumerate(out[:-1]):
        if a == "-p":
            out[i + 1] = "***"
    return out


def split_statements(text, separator=";"):
    """Splits a script at separators outside quotes; drops empty parts."""
    parts, cur, quote = [], [], None
    for ch in text:
        if quote:
            cur.append(ch)
            if ch == quote:
                quote = None
        elif ch in ("'", '"'):
            quote = ch
            cur.append(ch)
        elif ch == separator:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append("".join(cur))
    return [p.strip() for p in parts if p.strip()]


SECONDARY_MODES = ("sync", "syncmem", "async")


def replication_secondary(sid):
    """True when global.ini makes this system a system-replication secondary
    ([system_replication] actual_mode, or mode when that is empty)."""
    section = system.read_ini("%s/global.ini" % common.config_dir(sid)).get("system_replication", {})
    mode = section.get("actual_mode") or section.get("mode") or ""
    return mode.strip().lower() in SECONDARY_MODES


class Connection:
    """Where a hdbsql call is connected: the system's state, the database and
    the user."""

    def __init__(self, sid, state, database, user, host, port):
        self.sid = sid
        self.state = state
        self.database = database
        self.user = user
        self.host = host
        self.port = port

    @property
    def is_system_db(self):
        return not self.state["multi_container"] or self.database == "SYSTEMDB"


# A password on a command line is readable by every local user
# (/proc/<pid>/cmdline) for as long as the program runs. The simulator
# refuses it so that a test fails, unless the test itself (as the DBA at a
# shell) asks for it in the program's environment.
ALLOW_ARGV_PASSWORD = "HANA_SIM_ALLOW_ARGV_PASSWORD"


def _refuse_argv_password(what):
    if os.environ.get(ALLOW_ARGV_PASSWORD) != "1":
        raise SqlError(-10104, "hana_sim: %s on the command line refused (readable in /proc/<pid>/cmdline)" % what)


def store_path(host=None):
    """The secure user store of the effective user: <home>/.hdb/<host>/SSFS_HDB.DAT."""
    import pwd
    home = pwd.getpwuid(os.geteuid()).pw_dir
    return os.path.join(home, ".hdb", host or socket.gethostname(), "SSFS_HDB.DAT")


def load_store(path):
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        return {}
    except ValueError:
        raise SqlError(-10104, "Invalid secure store file %s" % path)


def _connect(sid, state, opts):
    user = opts.get("-u")
    password = opts.get("-p")
    database = opts.get("-d")
    env = opts.get("-n")
    if "-U" in opts:
        key = load_store(store_path()).get(opts["-U"]) or state.get("userstore", {}).get(opts["-U"])
        if key is None:
            raise SqlError(-10104, "Invalid value for KEY (%s)" % opts["-U"])
        user = user or key.get("user")
        password = password or key.get("password")
        env = env or key.get("env")
        database = database or key.get("database")
    if not user:
        raise SqlError(10, "authentication failed", "28000")
    number = state["instance_number"]
    if "-i" in opts:
        try:
            number = int(opts["-i"])
        except ValueError:
            raise SqlError(-10104, "Invalid value for option -i: %s" % opts["-i"])
    host, port = "localhost", None
    if env:
        host, _, port_text = env.partition(":")
        if port_text:
            try:
                port = int(port_text)
            except ValueError:
                raise SqlError(-10709, "Connection failed (RTE:[89001] Cannot resolve host name '%s')" % env)
    if port is None:
        port = 30000 + 100 * number + (13 if state["multi_container"] else 15)
    hosts = {h["name"] for h in state["hosts"]} | {"localhost", "127.0.0.1", socket.gethostname()}
    if host not in hosts:
        raise SqlError(-10709, "Connection failed (RTE:[89001] Cannot resolve host name '%s' rc=-2 (%s:%d))"
                       % (host, host, port))
    refused = SqlError(-10709, "Connection failed (RTE:[89006] System call 'connect' failed, "
                       "rc=111:Connection refused {127.0.0.1:%d})" % port)
    # The port must belong to a database of this system and listen.
    port_db = None
    for name, db in state["databases"].items():
        if db.get("sql_port") == port:
            port_db = name
    if port_db is None or not common.port_listening(port, common.host_address(state)):
        raise refused
    if replication_secondary(sid):
        # A system-replication secondary replays the primary's log and
        # opens no SQL port of its own.
        raise refused
    if database is None or database == "":
        database = port_db
    else:
        if state["multi_container"]:
            if port_db != "SYSTEMDB" and database != port_db:
                raise SqlError(-10709, "Connection failed (RTE:[89008] Socket closed by peer {127.0.0.1:%d})" % port)
            name = "SYSTEMDB" if database.upper() == "SYSTEMDB" else database
            if name not in state["databases"]:
                raise SqlError(-10709, "Connection failed (RTE:[300010] Cannot connect to database '%s': "
                               "database does not exist)" % database)
            database = name
        elif database != state["sid"]:
            raise SqlError(-10709, "Connection failed (RTE:[300010] Cannot connect to database '%s')" % database)
    db = state["databases"][database]
    if not db.get("active", True) or db.get("status"):
        raise SqlError(-10709, "Connection failed (RTE:[300010] Cannot connect to database '%s': "
                       "database is not online)" % database)
    users = db.get("users") or state["users"]
    if users.get(user) is None or users.get(user) != password:
        raise SqlError(10, "authentication failed", "28000")
    return Connection(sid, state, database, user, host, port)


def hdbsql_main(sid, argv):
    entry = _call_entry("hdbsql", _masked_argv(argv))
    out = Output()
    code = 0
    try:
        try:
            opts, statement = parse_hdbsql_args(argv)
        except UsageError as e:
            out.err.append("%s\nUsage: hdbsql [<options>] [<command>]" % e)
            code = 1
            return code
        if "-I" in opts:
            try:
                with open(opts["-I"]) as f:
                    script = f.read()
            except OSError as e:
                raise SqlError(-10101, "Cannot open input file %s: %s" % (opts["-I"], e.strerror))
            statements = split_statements(script, opts.get("-c", ";"))
            entry["statement"] = script
        elif statement is not None:
            statements = [statement]
            entry["statement"] = statement
        else:
            # Interactive use is not simulated.
            raise SqlError(-10104, "No command given (interactive mode is not available)")
        if "-p" in opts:
            _refuse_argv_password("password (-p)")
        entry["db_user"] = opts.get("-u")
        entry["database"] = opts.get("-d")
        out.out_file = opts.get("-o")
        fault = matching_fault(sid, "hdbsql", entry["statement"])
        if fault:
            code = _apply_fault(fault, out)
            return code
        state = common.load_state(sid)
        if entry["db_user"] is None and "-U" in opts:
            # The user the key names, also when the log-on then fails.
            key = load_store(store_path()).get(opts["-U"]) or state.get("userstore", {}).get(opts["-U"]) or {}
            entry["db_user"] = key.get("user")
        conn = _connect(sid, state, opts)
        entry["db_user"] = conn.user
        from . import sql
        for text in statements:
            result = sql.execute(conn, text)
            _print_result(result, opts, out)
    except SqlError as e:
        out.err.append(e.render())
        code = 1
    except (SimError, OSError) as e:
        out.err.append(SqlError(2, "general error: %s" % e).render())
        code = 1
    finally:
        entry["exit"] = code
        _flush(out)
        common.append_call(sid, entry)
    return code


# ---------------------------------------------------------- hdbuserstore

USERSTORE_USAGE = ("Usage: hdbuserstore [options] command [arguments]\n"
                   "Options: -i interactive (prompt for the password), -H <host>, -v, -h\n"
                   "Commands: SET <KEY> <ENV>[@<DATABASE>] <USERNAME> [<PASSWORD>], DELETE <KEY>, LIST [<KEY> ...]")


def hdbuserstore_main(sid, argv):
    """The secure user store of the effective user, as hdbuserstore keeps
    it: SET writes an entry (the password as argument, or with -i from the
    prompt on standard input), DELETE removes one, LIST shows entries
    without passwords. The file is the sim's own JSON, mode 0600 in a
    directory of mode 0700."""
    masked = list(argv)
    words = [i for i, a in enumerate(argv) if not a.startswith("-")]
    if words and argv[words[0]].upper() == "SET" and len(words) >= 5:
        masked[words[4]] = "***"
    entry = _call_entry("hdbuserstore", masked)
    out = Output()
    code = 0
    try:
        opts, rest, i = {}, [], 0
        while i < len(argv):
            a = argv[i]
            if a == "-H" and i + 1 < len(argv):
                opts["-H"] = argv[i + 1]
                i += 2
                continue
            if a in ("-i", "-v", "-h") and not rest:
                opts[a] = True
            elif a.startswith("-") and not rest:
                raise UsageError("Unknown option: %s" % a)
            else:
                rest.append(a)
            i += 1
        if "-h" in opts or not rest:
            raise UsageError("")
        command = rest[0].upper()
        entry["statement"] = command
        path = store_path(opts.get("-H"))
        lock = None
        if command in ("SET", "DELETE"):
            import fcntl
            os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
            lock = open(os.path.join(os.path.dirname(path), ".lock"), "w")
            fcntl.flock(lock, fcntl.LOCK_EX)  # released when the program ends
        store = load_store(path)
        if command == "SET":
            if len(rest) not in (4, 5):
                raise UsageError("SET needs <KEY> <ENV> <USERNAME> [<PASSWORD>]")
            key, env, user = rest[1].upper(), rest[2], rest[3]
            if len(rest) == 5:
                _refuse_argv_password("password")
                password = rest[4]
            elif "-i" in opts:
                sys.stderr.write("Password: ")
                sys.stderr.flush()
                password = sys.stdin.readline().rstrip("\n")
            else:
                raise UsageError("SET: no password given (use -i to be prompted)")
            if not password:
                raise SqlError(-10104, "Password must not be empty")
            env, _, database = env.partition("@")
            record = {"env": env, "user": user, "password": password}
            if database:
                record["database"] = database
            store[key] = record
            entry["db_user"] = user
        elif command == "DELETE":
            if len(rest) != 2:
                raise UsageError("DELETE needs <KEY>")
            store.pop(rest[1].upper(), None)
        elif command == "LIST":
            out.out.append("DATA FILE       : %s" % path)
            out.out.append("")
            for key in sorted(store):
                if len(rest) > 1 and key not in [k.upper() for k in rest[1:]]:
                    continue
                out.out.append("KEY %s\n  ENV : %s\n  USER: %s" % (key, store[key]["env"], store[key]["user"]))
                if store[key].get("database"):
                    out.out.append("  DATABASE: %s" % store[key]["database"])
        else:
            raise UsageError("Unknown command: %s" % rest[0])
        if command in ("SET", "DELETE"):
            os.chmod(os.path.dirname(os.path.dirname(path)), 0o700)
            os.chmod(os.path.dirname(path), 0o700)
            tmp = path + ".tmp"
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            with os.fdopen(fd, "w") as f:
                json.dump(store, f)
            os.rename(tmp, path)
    except UsageError as e:
        out.err.append(("%s\n" % e if str(e) else "") + USERSTORE_USAGE)
        code = 1
    except SqlError as e:
        out.err.append(e.render())
        code = 1
    finally:
        entry["exit"] = code
        _flush(out)
        common.append_call(sid, entry)
    return code


def _format_value(value, null="?"):
    if value is None:
        return null
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (int, float)):
        return str(value)
    return '"%s"' % str(value).replace('"', '""')


def _print_result(result, opts, out):
    """Prints a result in hdbsql's default format."""
    sep = opts.get("-F", ",")
    if result.kind == "text":
        out.out.extend(result.lines)
        return
    if result.kind == "rows":
        if "-a" not in opts:
            out.out.append(sep.join(result.columns))
        for row in result.rows:
            out.out.append(sep.join(_format_value(v, opts.get("-g", "?")) for v in row))
        if "-x" not in opts:
            n = len(result.rows)
            out.out.append("%d row%s selected (overall time 1.234 msec; server time 0.321 msec)"
                           % (n, "" if n == 1 else "s"))
        return
    if "-x" not in opts:
        out.out.append("0 rows affected (overall time 1.234 msec; server time 0.321 msec)")


# ---------------------------------------------------------------- HDB, hdbsrvutil


def version_block(state):
    return ["HDB version info:",
            "  version:             %s" % state["version"],
            "  branch:              sim",
            "  machine config:      linuxx86_64",
            "  git hash:            0000000000000000000000000000000000000000",
            "  compile type:        rel"]


def hdbsrvutil_main(sid, argv):
    entry = _call_entry("hdbsrvutil", argv)
    entry["statement"] = " ".join(argv)
    out = Output()
    code = 0
    try:
        fault = matching_fault(sid, "hdbsrvutil", entry["statement"])
        if fault:
            code = _apply_fault(fault, out)
        elif argv == ["-v"]:
            out.out.extend(version_block(common.load_state(sid)))
        else:
            out.err.append("usage: hdbsrvutil -v")
            code = 1
    finally:
        entry["exit"] = code
        _flush(out)
        common.append_call(sid, entry)
    return code


def hdb_main(sid, argv):
    entry = _call_entry("HDB", argv)
    action = argv[0] if argv else ""
    entry["statement"] = action
    out = Output()
    code = 0
    try:
        fault = matching_fault(sid, "HDB", " ".join(argv))
        if fault:
            code = _apply_fault(fault, out)
            return code
        problem = _login_problem(sid)
        if problem:
            out.err.append("HDB: %s" % problem)
            code = 1
            return code
        state = common.load_state(sid)
        if action == "start":
            code = _hdb_start(sid, out)
        elif action == "stop":
            system.stop_instance(sid)
            out.out.append("Stopping instance ...")
            out.out.append("OK")
        elif action == "restart":
            system.stop_instance(sid)
            code = _hdb_start(sid, out)
        elif action == "info":
            out.out.extend(_hdb_info(state))
        elif action == "version":
            out.out.extend(version_block(state))
        else:
            out.err.append("Usage: HDB {start|stop|restart|info|version}")
            code = 1
    except SimError as e:
        out.err.append(str(e))
        code = 1
    finally:
        entry["exit"] = code
        _flush(out)
        common.append_call(sid, entry)
    return code


def _login_problem(sid):
    """What keeps this call from being one in <sid>adm's log-in environment
    (HDB is run by that user from a log-in shell); None when it is one."""
    import pwd
    pw = pwd.getpwuid(os.getuid())
    if pw.pw_name != common.adm_user(sid) or os.geteuid() != os.getuid():
        return "must be run as %s, not %s" % (common.adm_user(sid), _user_name(os.geteuid()))
    for name, wanted in (("HOME", pw.pw_dir), ("USER", pw.pw_name), ("LOGNAME", pw.pw_name),
                         ("SHELL", pw.pw_shell)):
        if os.environ.get(name) != wanted:
            return "%s is %r, not %r as for a log-in of %s" % (name, os.environ.get(name), wanted, pw.pw_name)
    if os.path.realpath(os.getcwd()) != os.path.realpath(pw.pw_dir):
        return "working directory is %s, not the home %s" % (os.getcwd(), pw.pw_dir)
    return None


def _hdb_start(sid, out):
    from . import backup
    out.out.append("Starting instance ...")
    system.start_instance(sid)
    code = backup.recover_on_start(sid, out)
    if code == 0:
        out.out.append("OK")
    return code


def _hdb_info(state):
    lines = ["USER          PID     PPID  %CPU        VSZ        RSS COMMAND"]
    user = common.adm_user(state["sid"])
    for pid in state.get("service_pids", []):
        if common.pid_alive(pid):
            lines.append("%-10s %6d %8d   0.0     100000      10000 %s/sapstartsrv pf=..."
                         % (user, pid, 1, common.exe_dir(state["sid"], state["instance_number"])))
    if common.pid_alive(state.get("daemon_pid", 0)):
        lines.append("%-10s %6d %8d   0.0     100000      10000 hdbdaemon"
                     % (user, state["daemon_pid"], 1))
    return lines


# ---------------------------------------------------------------- listener


def daemon_main(sid):
    """Listens on the ports of the running instance until SIGTERM or until
    the sandbox is gone; SIGHUP makes it follow the state again."""
    watch = os.environ.get("HANA_SIM_WATCH")
    sel = selectors.DefaultSelector()
    sockets = {}
    flags = {"reload": True, "stop": False}

    def on_hup(_s, _f):
        flags["reload"] = True

    def on_term(_s, _f):
        flags["stop"] = True

    signal.signal(signal.SIGHUP, on_hup)
    signal.signal(signal.SIGTERM, on_term)
    from . import log_backups
    scheduler = log_backups.Scheduler(sid).start()
    while not flags["stop"]:
        if watch and not os.path.exists(watch):
            break
        if flags["reload"]:
            flags["reload"] = False
            try:
                current = common.load_state(sid)
                wanted = set(system.listening_ports(current))
                address = common.host_address(current)
            except SimError as e:
                common.log(sid, "listener: %s" % e)
                break
            for port in list(sockets):
                if port not in wanted:
                    sel.unregister(sockets[port])
                    sockets.pop(port).close()
            for port in sorted(wanted - set(sockets)):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    s.bind((address, port))
                except OSError as e:
                    common.log(sid, "listener: cannot listen on port %d: %s" % (port, e))
                    return 1
                s.listen(64)
                s.setblocking(False)
                sel.register(s, selectors.EVENT_READ)
                sockets[port] = s
        for key, _ in sel.select(timeout=0.5):
            try:
                conn, _addr = key.fileobj.accept()
                conn.close()
            except OSError:
                pass
    for s in sockets.values():
        s.close()
    scheduler.stop()
    return 0
