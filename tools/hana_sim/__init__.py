"""Simulated HANA systems for the test sandbox.

A simulated system is installed below /usr/sap/<SID> with fake `hdbsql`,
`hdbsrvutil` and `HDB` programs, its profile, /usr/sap/sapservices,
`global.ini` and `nameserver.ini`, the <sid>adm user, a running `sapstartsrv`
process and, while the instance runs, a listener on its SQL ports. The fake
programs keep their state in one JSON file per system and append every call
to a call log. See README.md for the whole contract.

Runs only inside tests/sandbox/run (it refuses elsewhere).
"""

from .common import SimError, installed_sids, adm_user, instance_dir, exe_dir, \
    config_dir, profile_dir, backint_dir, backint_link, state_path, calls_path
from . import common as _common
from . import system as _system

DEFAULT_VERSION = _system.DEFAULT_VERSION
DEFAULT_PASSWORD = _system.DEFAULT_PASSWORD
DEFAULT_USER = _system.DEFAULT_USER


def install(sid="HDB", instance=0, multi_container=True, tenants=None,
            version=DEFAULT_VERSION, replication=None, hosts=None,
            password=DEFAULT_PASSWORD, user=DEFAULT_USER, host=None,
            start_service=True, start=True, landscape_id=None, multidb_section=True,
            shared_root=None):
    """Installs a simulated system and returns its state (a dict).

    sid              three upper-case characters
    instance         instance number 0..99
    multi_container  system database plus tenants; False: one database named
                     like the SID
    tenants          tenant names, or dicts {"name", "active", "description"};
                     None means one tenant named like the SID
    version          the version `hdbsrvutil -v` and `HDB version` print
    replication      None (no [system_replication] section), a mode word
                     ("primary", "sync", "async", "syncmem", "none"), or a
                     dict of the section's keys
    hosts            scale-out hosts: names or {"name", "role"} with role
                     "worker" or "standby"; the first is the master
    host             this host's name: one of `hosts` (default: the first),
                     or without `hosts` the only one (default: the
                     machine's host name)
    user, password   the database user every database accepts
    start_service    start the sapstartsrv process
    start            start the instance (SQL ports listen)
    landscape_id     [landscape] id of nameserver.ini
    multidb_section  False: a single-container global.ini without [multidb]
                     (as HANA 1.0 writes it)
    shared_root      the instance directory and the programs live in
                     <shared_root>/<SID>/ (HDB<nn>, exe/linuxx86_64/hdb);
                     /usr/sap/<SID>/HDB<nn> and SYS/exe/hdb link there
    """
    return _system.install(sid=sid, instance=instance, multi_container=multi_container,
                           tenants=tenants, version=version, replication=replication,
                           hosts=hosts, password=password, user=user, host=host,
                           start_service=start_service, start=start,
                           landscape_id=landscape_id, multidb_section=multidb_section,
                           shared_root=shared_root)


def uninstall(sid):
    """Stops the system's processes, removes /usr/sap/<SID>, its
    sapservices line and the <sid>adm user."""
    _system.uninstall(sid)


def uninstall_all():
    for sid in installed_sids():
        _system.uninstall(sid)


def start(sid):
    """Starts the instance like `HDB start` (without logging a call)."""
    _system.start_instance(sid)


def stop(sid):
    """Stops the instance like `HDB stop` (without logging a call); the
    sapstartsrv process keeps running."""
    _system.stop_instance(sid)


def start_service(sid, additional=False):
    """Starts the sapstartsrv process (a further one with additional=True);
    returns its pid."""
    return _system.start_service_process(sid, additional)


def start_impostor(sid, user="nobody", env=None):
    """Starts a process with exactly the command line of the system's
    sapstartsrv as `user`, with the start service's environment changed by
    `env` (None values remove a variable); returns its pid. stop_service
    and uninstall end it."""
    return _system.start_impostor(sid, user, env)


def hdb(sid, *args):
    """Runs the instance's HDB script as <sid>adm in its log-in environment
    (as HDB must be run); returns the subprocess.CompletedProcess (text)."""
    import os
    import pwd
    import subprocess
    st = _common.load_state(sid)
    pw = pwd.getpwnam(adm_user(sid))
    env = dict(os.environ, HOME=pw.pw_dir, USER=pw.pw_name, LOGNAME=pw.pw_name, SHELL=pw.pw_shell)
    argv = ["setpriv", "--reuid=" + pw.pw_name, "--regid=" + _common.SAPSYS_GROUP, "--init-groups",
            instance_dir(sid, st["instance_number"]) + "/HDB"] + list(args)
    return subprocess.run(argv, capture_output=True, text=True, env=env, cwd=pw.pw_dir)


def stop_service(sid):
    """Ends every sapstartsrv process of the system."""
    _system.stop_service_process(sid)


def is_running(sid):
    return _system.daemon_running(_common.load_state(sid))


def state(sid):
    """The system's state as a dict (a snapshot)."""
    return _common.load_state(sid)


class update_state:
    """Context manager for changing the state under the simulator's lock:

        with hana_sim.update_state("ABC") as st:
            st["databases"]["ABC"]["active"] = False

    A running listener is told to reopen its ports afterwards."""

    def __init__(self, sid):
        self._sid = sid
        self._cm = _common.state_update(sid)

    def __enter__(self):
        return self._cm.__enter__()

    def __exit__(self, *exc):
        result = self._cm.__exit__(*exc)
        if exc[0] is None:
            _system.reconfigure(self._sid)
        return result


def calls(sid, program=None):
    """The call log in call order: a list of dicts with the keys program,
    argv (password replaced by "***"), user (OS user), uid, euid, gid, egid,
    db_user, database, statement, env and exit. `program` filters."""
    return _common.read_calls(sid, program)


def statements(sid):
    """The statements of all `hdbsql` calls, in order."""
    return [c.get("statement") for c in _common.read_calls(sid, "hdbsql")]


def clear_calls(sid):
    _common.clear_calls(sid)


LOG_BACKUP_OUTCOMES = ("failed", "canceled", "running")


def add_fault(sid, program, match="", stderr="", stdout="", exit=1, times=None, delay=0, state=None,
              message=None):
    """Makes calls of `program` ("hdbsql", "HDB" or "hdbsrvutil")
    whose statement (hdbsql) or argument text (others) contains a match of the
    regular expression `match` fail: print `stdout`/`stderr` and end with
    `exit`, after `delay` seconds, `times` times (None: always). The call is
    logged as usual.

    Program "log-backup" instead gives a log or catalog backup whose pipe
    path matches the catalog state `state` ("failed", "canceled", or
    "running": HANA never ends it) with MESSAGE `message`, whatever backint
    did; failed and canceled ones fail the log backup."""
    if program == "log-backup" and state not in LOG_BACKUP_OUTCOMES:
        raise _common.SimError("a log-backup fault needs a state of %s" % ", ".join(LOG_BACKUP_OUTCOMES))
    if program != "log-backup" and (state is not None or message is not None):
        raise _common.SimError("only log-backup faults take a state and a message")
    fault = {"program": program, "match": match, "stderr": stderr, "stdout": stdout, "exit": exit,
             "times": times, "delay": delay}
    if state is not None:
        fault.update(state=state, message=message or "")
    with _common.state_update(sid) as st:
        st["faults"].append(fault)


def clear_faults(sid):
    with _common.state_update(sid) as st:
        st["faults"] = []


def set_ini(sid, file, section, key, value, database=None):
    """Sets (value None: removes) a key of a custom ini file of the SYSTEM
    layer (database: its DATABASE layer)."""
    from .sql import ini_path
    import os
    path = ini_path(sid, file, database)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    _system.write_ini_value(path, section, key, value)


def get_ini(sid, file, database=None):
    """A custom ini file's sections as nested dicts ({} when missing)."""
    from .sql import ini_path
    return _system.read_ini(ini_path(sid, file, database))


def add_backup(sid, database, entry_type="complete data backup", state_name="successful",
               start=None, end=None, files=None, destination="backint"):
    """Adds an entry to the simulated backup catalog and returns its backup
    id. start/end are datetime objects (UTC; default now); files is a list of
    dicts with M_BACKUP_CATALOG_FILES columns in lower case."""
    from . import catalog
    return catalog.add_entry(sid, database, entry_type, state_name, start, end, files,
                             destination)


def link_backint(sid, target="/opt/corvane/strovix3/bin/hana-backint"):
    """Creates /usr/sap/<SID>/SYS/global/hdb/opt/hana-backint -> target (the
    link the agent's backup jobs create), replacing an existing one."""
    import os
    link = backint_link(sid)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)


def log_backup(sid, database=None, catalog=True):
    """Makes the simulated HANA back up the logs of `database` (default: the
    system database) through backint, one call per service volume, then its
    backup catalog when catalog_backup_using_backint is true. Needs [backup]
    log_backup_using_backint = true in global.ini. Returns the backup ids;
    raises SimError when a backint call failed (the catalog entry then says
    "failed")."""
    from . import log_backups
    return log_backups.log_backup(sid, database, catalog)


def catalog_backup(sid, database=None):
    """Makes the simulated HANA back up its backup catalog of `database`
    through backint; returns the backup id."""
    from . import backup
    st = _common.load_state(sid)
    if database is None:
        database = "SYSTEMDB" if st["multi_container"] else sid
    return backup.catalog_backup(sid, database)


def write(sid, value, database=None):
    """Writes a row into SIM_CONTENT of an online database (default: the
    system database) at the current time, as INSERT INTO SIM_CONTENT does;
    returns the row: {"seq", "written_at", "value"}."""
    from . import content
    return content.write(sid, _default_database(sid, database), value)


def content_rows(sid, database=None):
    """The rows of SIM_CONTENT of a database (default: the system database)."""
    from . import content
    return content.rows(_common.load_state(sid), _default_database(sid, database))


def _default_database(sid, database):
    if database is not None:
        return database
    return "SYSTEMDB" if _common.load_state(sid)["multi_container"] else sid


def backups(sid, database=None):
    """The catalog entries (dicts with their files), optionally of one
    database, oldest first."""
    return [e for e in _common.load_state(sid)["backup_catalog"]
            if database is None or e["database"] == database]


def recoveries(sid):
    """The recoveries the system ran: dicts with database, statement,
    source, result ("successful"/"failed") and message."""
    return _common.load_state(sid).get("recoveries", [])
