"""The statements the simulated HANA understands and the small SELECT
engine over its monitoring views."""

import datetime
import os
import re

from . import common
from . import system
from .programs import SqlError


class Result:
    """kind "rows" (columns, rows), "text" (lines) or "none"."""

    def __init__(self, kind, columns=None, rows=None, lines=None):
        self.kind = kind
        self.columns = columns or []
        self.rows = rows or []
        self.lines = lines or []


class Timestamp(str):
    """A timestamp value: printed quoted, compared as text."""


def ini_path(sid, file, database=None):
    if database:
        return "%s/DB_%s/%s" % (common.config_dir(sid), database, file)
    return "%s/%s" % (common.config_dir(sid), file)


def execute(conn, text):
    statement = text.strip()
    if statement.endswith(";"):
        statement = statement[:-1].rstrip()
    if statement == "\\s":
        return _status(conn)
    upper = statement.upper()
    if re.match(r"SELECT\b", upper):
        return select(conn, statement)
    if re.match(r"ALTER\s+SYSTEM\s+ALTER\s+CONFIGURATION\b", upper):
        return _alter_configuration(conn, statement)
    m = re.match(r"ALTER\s+SYSTEM\s+(START|STOP)\s+DATABASE\s+(\S+)$", statement, re.I)
    if m:
        return _start_stop_database(conn, m.group(1).upper(), m.group(2))
    if re.match(r"(BACKUP|RECOVER)\b", upper):
        from . import backup
        return backup.execute(conn, statement)
    if re.match(r"INSERT\b", upper):
        from . import content
        return content.insert(conn, statement)
    raise _syntax_error(statement)


def _syntax_error(statement, near=None):
    word = near if near is not None else (statement.split() or [""])[0]
    return SqlError(257, 'sql syntax error: incorrect syntax near "%s": line 1 col 1 (at pos 1)' % word)


def _status(conn):
    st = conn.state
    return Result("text", lines=[
        "host          : %s:%d" % (conn.host, conn.port),
        "sid           : %s" % st["sid"],
        "dbname        : %s" % conn.database,
        "user          : %s" % conn.user,
        "kernel version: %s" % st["version"],
        "SQLDBC version:   libSQLDBCHDB %s" % st["version"],
        "autocommit    : ON",
        "locale        : en_US.UTF-8",
        "input encoding: UTF8",
        "sql port      : %s:%d" % (conn.host, conn.port),
    ])


# ---------------------------------------------------------------- ALTER


_QUOTED = r"'((?:[^']|'')*)'"


def _unquote(text):
    return text.replace("''", "'")


def _alter_configuration(conn, statement):
    m = re.match(r"ALTER\s+SYSTEM\s+ALTER\s+CONFIGURATION\s*\(\s*%s\s*,\s*%s\s*(?:,\s*%s\s*)?\)\s*(SET|UNSET)\s*(.*)$"
                 % (_QUOTED, _QUOTED, _QUOTED), statement, re.I | re.S)
    if not m:
        raise _syntax_error(statement, "CONFIGURATION")
    file, layer, target, op, rest = m.group(1), m.group(2).upper(), m.group(3), m.group(4).upper(), m.group(5)
    rest = re.sub(r"\s+WITH\s+RECONFIGURE\s*$", "", rest, flags=re.I).strip()
    if op == "SET":
        pair = r"\(\s*%s\s*,\s*%s\s*\)\s*=\s*%s" % (_QUOTED, _QUOTED, _QUOTED)
    else:
        pair = r"\(\s*%s\s*,\s*%s\s*\)" % (_QUOTED, _QUOTED)
    items = []
    pos = 0
    while pos < len(rest):
        mm = re.compile(pair).match(rest, pos)
        if not mm:
            raise _syntax_error(statement, rest[pos:pos + 10])
        items.append(mm.groups())
        pos = mm.end()
        sep = re.compile(r"\s*,\s*").match(rest, pos)
        if sep and sep.end() < len(rest):
            pos = sep.end()
        elif pos < len(rest):
            if rest[pos:].strip():
                raise _syntax_error(statement, rest[pos:pos + 10])
            break
    if not items:
        raise _syntax_error(statement, op)
    if layer == "SYSTEM":
        if not conn.is_system_db:
            raise SqlError(258, "insufficient privilege: Not authorized")
        path = ini_path(conn.sid, file)
    elif layer == "DATABASE":
        database = _unquote(target) if target else conn.database
        path = ini_path(conn.sid, file, database)
    else:
        raise SqlError(7, "feature not supported: layer %s" % layer)
    if not re.match(r"^[A-Za-z0-9_.]+\.ini$", file):
        raise SqlError(2, "general error: invalid ini file name %s" % file)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with common.locked(conn.sid):
        for item in items:
            section, key = _unquote(item[0]), _unquote(item[1])
            value = _unquote(item[2]) if op == "SET" else None
            system.write_ini_value(path, section, key, value)
    return Result("none")


def _start_stop_database(conn, action, name):
    st = conn.state
    if not st["multi_container"] or conn.database != "SYSTEMDB":
        raise SqlError(7, "feature not supported: only the system database can start or stop databases")
    key = name if name in st["databases"] else (name.upper() if name.upper() in st["databases"] else None)
    if key is None or key == "SYSTEMDB":
        raise SqlError(2, "general error: database '%s' does not exist or is the system database" % name)
    with common.state_update(conn.sid) as state:
        db = state["databases"][key]
        # A tenant on its way (STARTING, STOPPING) takes either statement,
        # which waits for the state it asks for.
        moving = db.pop("status", None) is not None
        if action == "START":
            if db.get("active", True) and not moving:
                raise SqlError(2, "general error: database %s is already running" % key)
            db["active"] = True
        else:
            if not db.get("active", True) and not moving:
                raise SqlError(2, "general error: database %s is not running" % key)
            db["active"] = False
    system.reconfigure(conn.sid)
    return Result("none")


# ---------------------------------------------------------------- SELECT


_TOKEN = re.compile(r"""\s*(?:
    (?P<str>'(?:[^']|'')*')
  | (?P<qid>"[^"]*")
  | (?P<num>\d+(?:\.\d+)?)
  | (?P<id>[A-Za-z_][A-Za-z0-9_$#]*)
  | (?P<op><>|!=|<=|>=|[=<>(),.*;])
)""", re.X)


def _tokenize(text):
    tokens = []
    pos = 0
    text = text.rstrip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m:
            raise _syntax_error(text, text[pos:].strip()[:10])
        pos = m.end()
        for kind in ("str", "qid", "num", "id", "op"):
            v = m.group(kind)
            if v is not None:
                if kind == "str":
                    tokens.append(("str", _unquote(v[1:-1])))
                elif kind == "qid":
                    tokens.append(("id", v[1:-1]))
                elif kind == "num":
                    tokens.append(("num", float(v) if "." in v else int(v)))
                elif kind == "id":
                    tokens.append(("id", v.upper()))
                else:
                    tokens.append(("op", v))
                break
    return tokens


class _Parser:
    def __init__(self, text):
        self.text = text
        self.tokens = _tokenize(text)
        self.pos = 0

    def peek(self, offset=0):
        i = self.pos + offset
        return self.tokens[i] if i < len(self.tokens) else (None, None)

    def next(self):
        tok = self.peek()
        self.pos += 1
        return tok

    def is_kw(self, word, offset=0):
        kind, value = self.peek(offset)
        return kind == "id" and value == word

    def expect_kw(self, word):
        if not self.is_kw(word):
            raise self.error()
        self.pos += 1

    def expect_op(self, op):
        kind, value = self.next()
        if kind != "op" or value != op:
            self.pos -= 1
            raise self.error()

    def error(self):
        kind, value = self.peek()
        return _syntax_error(self.text, "" if value is None else str(value))

    def expr(self):
        kind, value = self.next()
        if kind == "str":
            return ("lit", value)
        if kind == "num":
            return ("lit", value)
        if kind == "op" and value == "*":
            return ("star",)
        if kind != "id":
            self.pos -= 1
            raise self.error()
        if self.peek() == ("op", "("):
            self.pos += 1
            args = [self.expr()]
            while self.peek() == ("op", ","):
                self.pos += 1
                args.append(self.expr())
            self.expect_op(")")
            return ("func", value, args)
        if self.peek() == ("op", "."):
            self.pos += 1
            k2, v2 = self.next()
            if k2 != "id":
                self.pos -= 1
                raise self.error()
            return ("col", value, v2)
        if value == "NULL":
            return ("lit", None)
        return ("col", None, value)


KEYWORDS = {"FROM", "WHERE", "ORDER", "LIMIT", "JOIN", "INNER", "ON", "AS", "AND", "BY", "GROUP"}


def _parse_select(text):
    p = _Parser(text)
    p.expect_kw("SELECT")
    items = []
    while True:
        start = p.pos
        e = p.expr()
        alias = None
        if p.is_kw("AS"):
            p.pos += 1
            kind, alias = p.next()
            if kind != "id":
                raise p.error()
        elif p.peek()[0] == "id" and p.peek()[1] not in KEYWORDS:
            alias = p.next()[1]
        items.append((e, alias, start, p.pos))
        if p.peek() == ("op", ","):
            p.pos += 1
            continue
        break
    p.expect_kw("FROM")
    tables = [_parse_table(p)]
    join = None
    if p.is_kw("JOIN") or (p.is_kw("INNER") and p.is_kw("JOIN", 1)):
        if p.is_kw("INNER"):
            p.pos += 1
        p.pos += 1
        tables.append(_parse_table(p))
        p.expect_kw("ON")
        left = p.expr()
        p.expect_op("=")
        right = p.expr()
        join = (left, right)
    conds = []
    if p.is_kw("WHERE"):
        p.pos += 1
        while True:
            left = p.expr()
            kind, op = p.next()
            if kind != "op" or op not in ("=", "<>", "!=", "<", ">", "<=", ">="):
                p.pos -= 1
                raise p.error()
            right = p.expr()
            conds.append((left, op, right))
            if p.is_kw("AND"):
                p.pos += 1
                continue
            break
    order = []
    if p.is_kw("ORDER"):
        p.pos += 1
        p.expect_kw("BY")
        while True:
            e = p.expr()
            desc = False
            if p.is_kw("DESC"):
                desc = True
                p.pos += 1
            elif p.is_kw("ASC"):
                p.pos += 1
            order.append((e, desc))
            if p.peek() == ("op", ","):
                p.pos += 1
                continue
            break
    limit = None
    if p.is_kw("LIMIT"):
        p.pos += 1
        kind, limit = p.next()
        if kind != "num":
            p.pos -= 1
            raise p.error()
    if p.peek() == ("op", ";"):
        p.pos += 1
    if p.peek()[0] is not None:
        raise p.error()
    return p, items, tables, join, conds, order, limit


def _parse_table(p):
    kind, name = p.next()
    if kind != "id":
        p.pos -= 1
        raise p.error()
    schema = None
    if p.peek() == ("op", "."):
        p.pos += 1
        schema = name
        kind, name = p.next()
        if kind != "id":
            p.pos -= 1
            raise p.error()
    alias = name
    if p.is_kw("AS"):
        p.pos += 1
        alias = p.next()[1]
    elif p.peek()[0] == "id" and p.peek()[1] not in KEYWORDS:
        alias = p.next()[1]
    return schema, name, alias


def select(conn, text):
    p, items, tables, join, conds, order, limit = _parse_select(text)
    sources = []
    for schema, name, alias in tables:
        columns, rows = _view(conn, schema, name)
        sources.append((alias, columns, rows))

    def lookup(row, qualifier, column):
        for alias, columns, _ in sources:
            if qualifier is not None and qualifier != alias:
                continue
            if column in columns:
                return row[alias][column]
        raise SqlError(260, "invalid column name: %s%s: line 1 col 1 (at pos 1)"
                       % (qualifier + "." if qualifier else "", column))

    def evaluate(row, e):
        if e[0] == "lit":
            return e[1]
        if e[0] == "col":
            return lookup(row, e[1], e[2])
        if e[0] == "func":
            return _function(e[1], [evaluate(row, a) for a in e[2]])
        raise _syntax_error(text, "*")

    def check(e):
        # Names are checked before any row is read, so that an empty view
        # still rejects a wrong column as HANA does.
        if e[0] == "col":
            if not any((e[1] is None or e[1] == alias) and e[2] in columns for alias, columns, _ in sources):
                raise SqlError(260, "invalid column name: %s%s: line 1 col 1 (at pos 1)"
                               % (e[1] + "." if e[1] else "", e[2]))
        elif e[0] == "func":
            for a in e[2]:
                check(a)

    for e, _alias, _start, _end in items:
        check(e)
    for left, _op, right in conds:
        check(left)
        check(right)
    for e, _desc in order:
        if not (e[0] == "col" and e[1] is None and any(e[2] == (a or "") for _e, a, _s, _n in items)):
            check(e)
    if join:
        check(join[0])
        check(join[1])

    rows = [{sources[0][0]: r} for r in sources[0][2]]
    if join:
        joined = []
        for r in rows:
            for r2 in sources[1][2]:
                combined = dict(r)
                combined[sources[1][0]] = r2
                if _compare(evaluate(combined, join[0]), "=", evaluate(combined, join[1])):
                    joined.append(combined)
        rows = joined
    rows = [r for r in rows if all(_compare(evaluate(r, c[0]), c[1], evaluate(r, c[2])) for c in conds)]
    for e, desc in reversed(order):
        rows.sort(key=lambda r: _sort_key(evaluate(r, e)), reverse=desc)
    if limit is not None:
        rows = rows[:int(limit)]

    columns = []
    getters = []
    for e, alias, start, end in items:
        if e[0] == "star":
            for a, cols, _ in sources:
                for c in cols:
                    columns.append(c)
                    getters.append(("col", a, c))
            continue
        if alias:
            columns.append(alias)
        elif e[0] == "col":
            columns.append(e[2])
        else:
            columns.append(_expr_text(p, start, end))
        getters.append(e)
    result_rows = [[evaluate(r, g) for g in getters] for r in rows]
    return Result("rows", columns, result_rows)


def _expr_text(p, start, end):
    out = []
    for kind, value in p.tokens[start:end]:
        out.append("'%s'" % value if kind == "str" else str(value))
    return "".join(out).upper()


def _sort_key(v):
    if v is None:
        return (0, 0, "")
    if isinstance(v, (int, float)):
        return (1, v, "")
    return (2, 0, str(v))


def _compare(a, op, b):
    if a is None or b is None:
        return False
    if isinstance(a, (int, float)) and isinstance(b, str):
        try:
            b = type(a)(b)
        except ValueError:
            a = str(a)
    elif isinstance(b, (int, float)) and isinstance(a, str):
        try:
            a = type(b)(a)
        except ValueError:
            b = str(b)
    if op == "=":
        return a == b
    if op in ("<>", "!="):
        return a != b
    if op == "<":
        return a < b
    if op == ">":
        return a > b
    if op == "<=":
        return a <= b
    return a >= b


_HANA_FORMATS = [("YYYY", "%Y"), ("MM", "%m"), ("DD", "%d"), ("HH24", "%H"), ("MI", "%M"), ("SS", "%S")]


def _function(name, args):
    if name in ("LOWER", "UPPER") and len(args) == 1:
        if args[0] is None:
            return None
        return str(args[0]).lower() if name == "LOWER" else str(args[0]).upper()
    if name == "TO_VARCHAR" and len(args) in (1, 2):
        v = args[0]
        if v is None:
            return None
        if len(args) == 1 or not isinstance(v, Timestamp):
            return str(v)
        fmt = args[1]
        for hana, py in _HANA_FORMATS:
            fmt = fmt.replace(hana, py)
        dt = datetime.datetime.strptime(v[:19], "%Y-%m-%d %H:%M:%S")
        return dt.strftime(fmt)
    raise SqlError(328, "invalid name of function or procedure: %s: line 1 col 1 (at pos 1)" % name)


# ---------------------------------------------------------------- views


def _view(conn, schema, name):
    st = conn.state
    if schema not in (None, "SYS", "SYS_DATABASES"):
        raise SqlError(362, "invalid schema name: %s: line 1 col 1 (at pos 1)" % schema)
    if schema == "SYS_DATABASES" and not (st["multi_container"] and conn.database == "SYSTEMDB"):
        raise SqlError(362, "invalid schema name: SYS_DATABASES: line 1 col 1 (at pos 1)")
    all_databases = schema == "SYS_DATABASES"
    if name == "M_DATABASES":
        return _m_databases(conn)
    if name == "SCHEMAS":
        cols = ["SCHEMA_NAME", "SCHEMA_OWNER", "HAS_PRIVILEGES"]
        rows = [dict(zip(cols, s)) for s in st["databases"][conn.database].get("schemas", [])]
        return cols, rows
    if name == "M_INIFILE_CONTENTS":
        return _m_inifile_contents(conn)
    if name == "M_BACKUP_PROGRESS" and _version_tuple(st["version"]) < (1, 0, 100):
        # HANA has this view only from 1.00.100 on.
        raise SqlError(259, "invalid table name:  Could not find table/view %s in schema %s: line 1 col 1 (at pos 1)"
                       % (name, schema or "SYSTEM"))
    if name in ("M_BACKUP_CATALOG", "M_BACKUP_CATALOG_FILES", "M_BACKUP_PROGRESS"):
        from . import catalog
        return catalog.view(st, name, None if all_databases else conn.database)
    if name == "SIM_CONTENT" and schema is None:
        from . import content
        return content.view(st, conn.database)
    raise SqlError(259, "invalid table name:  Could not find table/view %s in schema %s: line 1 col 1 (at pos 1)"
                   % (name, schema or "SYSTEM"))


def _version_tuple(version):
    parts = []
    for p in str(version).split(".")[:3]:
        try:
            parts.append(int(p))
        except ValueError:
            parts.append(0)
    return tuple(parts)


def _m_databases(conn):
    st = conn.state
    cols = ["DATABASE_NAME", "DESCRIPTION", "ACTIVE_STATUS", "ACTIVE_STATUS_DETAILS", "OS_USER",
            "OS_GROUP", "RESTART_MODE"]
    rows = []
    for dbname, db in st["databases"].items():
        if st["multi_container"] and conn.database != "SYSTEMDB" and dbname != conn.database:
            continue
        rows.append({"DATABASE_NAME": dbname, "DESCRIPTION": db.get("description", ""),
                     "ACTIVE_STATUS": db.get("status") or ("YES" if db.get("active", True) else "NO"),
                     "ACTIVE_STATUS_DETAILS": "", "OS_USER": "", "OS_GROUP": "",
                     "RESTART_MODE": "DEFAULT"})
    return cols, rows


def _m_inifile_contents(conn):
    cols = ["FILE_NAME", "LAYER_NAME", "TENANT_NAME", "HOST", "SECTION", "KEY", "VALUE"]
    rows = []
    for file, sections in conn.state.get("ini_defaults", {}).items():
        for section, values in sections.items():
            for key, value in values.items():
                rows.append(["DEFAULT", "", file, section, key, value])
    rows = [dict(zip(cols, [r[2], r[0], r[1], "", r[3], r[4], r[5]])) for r in rows]
    cdir = common.config_dir(conn.sid)
    layers = [("SYSTEM", "", cdir)]
    if conn.state["multi_container"] and conn.database != "SYSTEMDB":
        layers.append(("DATABASE", conn.database, "%s/DB_%s" % (cdir, conn.database)))
    for layer, tenant, directory in layers:
        try:
            names = sorted(os.listdir(directory))
        except OSError:
            names = []
        for file in names:
            if not file.endswith(".ini"):
                continue
            for section, values in system.read_ini(os.path.join(directory, file)).items():
                for key, value in values.items():
                    rows.append(dict(zip(cols, [file, layer, tenant, "", section, key, value])))
    return cols, rows
