"""Backups, recoveries and catalog deletions through backint, as the
simulated HANA runs them."""

from .programs import SqlError


def execute(conn, statement):
    raise SqlError(7, "feature not supported: %s" % statement.split()[0].upper())


def recover_on_start(sid, out):
    """Runs a pending recoverInstance.sql at instance start; 0 on success."""
    return 0
