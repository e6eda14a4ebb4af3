# db.py: the results database of flyhistory. One schema, created and
# migrated by the tool (the table schema_version holds its number), stored in
# SQLite (a file, the default) or PostgreSQL (postgresql://..., through
# psycopg2, so a fleet of machines shares one history). The queries are
# written once with ? placeholders and translated for psycopg2. Every write
# is one transaction, so a killed or failed add leaves nothing half-stored.
import contextlib
import os
import re
import sqlite3
import urllib.parse

from ..errors import InputError
from ..metrics import COLUMNS, GPU

SCHEMA_VERSION = 3

# Per-pass metric name -> column (the names the SQL dialects both accept),
# from the metrics' table; each column not made by migration 1 is added by
# a migration of its own.
PASS_COLUMNS = COLUMNS
_FIRST_COLUMNS = ("frames", "seconds", "fps", "mean", "median", "p95", "p99", "p999", "maximum", "low1",
                  "low01", "stutters", "chunk_stutters", "chunk_builds")

# Migration n takes the schema from version n-1 to n.
MIGRATIONS = {1: [
    """CREATE TABLE series (
        id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, label TEXT NOT NULL,
        script_sha256 TEXT NOT NULL, framebuffer TEXT NOT NULL, renderer TEXT NOT NULL,
        host TEXT NOT NULL, cpu TEXT NOT NULL)""",
    """CREATE TABLE runs (
        id INTEGER PRIMARY KEY, series_id INTEGER NOT NULL REFERENCES series (id),
        content_hash TEXT NOT NULL UNIQUE, path TEXT NOT NULL, kind TEXT NOT NULL,
        label TEXT NOT NULL, commit_sha TEXT, branch TEXT, run_date TEXT NOT NULL,
        added TEXT NOT NULL, environment TEXT NOT NULL, passes INTEGER NOT NULL,
        segments INTEGER NOT NULL)""",
    "CREATE INDEX runs_by_series ON runs (series_id, run_date, id)",
    "CREATE TABLE pass_metrics (run_id INTEGER NOT NULL REFERENCES runs (id), "
    "pass_no INTEGER NOT NULL, launch INTEGER NOT NULL, "
    + ", ".join("%s DOUBLE PRECISION" % c for c in _FIRST_COLUMNS)
    + ", PRIMARY KEY (run_id, pass_no))",
    """CREATE TABLE segment_metrics (
        run_id INTEGER NOT NULL REFERENCES runs (id), pass_no INTEGER NOT NULL,
        segment INTEGER NOT NULL, mean DOUBLE PRECISION NOT NULL,
        p99 DOUBLE PRECISION NOT NULL, PRIMARY KEY (run_id, pass_no, segment))""",
], 2: [
    "ALTER TABLE pass_metrics ADD COLUMN pacing DOUBLE PRECISION",   # frame pacing
], 3: [  # GPU times (GPU time per frame, GPU-bound share): NULL where a run logged none
    "ALTER TABLE %s ADD COLUMN %s DOUBLE PRECISION" % (table, column)
    for table in ("pass_metrics", "segment_metrics") for column in ("gpu_ms", "gpu_bound")
]}
# The segments' metrics beside their mean and p99: the GPU's.
SEGMENT_GPU = GPU


def is_postgres(dsn: str) -> bool:
    return dsn.startswith(("postgresql://", "postgres://"))


def files(dsn: str) -> list[str]:
    """The files a database is kept in: SQLite's file and its journals; none
    for PostgreSQL."""
    return [] if is_postgres(dsn) else [dsn + suffix for suffix in ("", "-journal", "-wal", "-shm")]


# A URI's password: after "user:" before the "@" (libpq looks for the "@"
# only up to the first "/"), or a password= query parameter.
_PASSWORDS = (re.compile(r"^(postgres(?:ql)?://[^@/:]*:)([^@/]*)(?=@)"), re.compile(r"([?&]password=)([^&]*)"))


def masked(dsn: str) -> str:
    """The database's address as it is shown and stored: its password, if
    it holds one, replaced by ***."""
    for pattern in _PASSWORDS:
        dsn = pattern.sub(r"\1***", dsn)
    return dsn


def _scrubbed(text: str, dsn: str) -> str:
    """A driver's message with any password of dsn in it masked."""
    for pattern in _PASSWORDS:
        for m in pattern.finditer(dsn):
            for secret in filter(None, {m.group(2), urllib.parse.unquote(m.group(2))}):
                text = text.replace(secret, "***")
    return text


def driver_errors() -> tuple:
    """The exception classes of the database drivers in use."""
    classes = [sqlite3.Error]
    try:
        import psycopg2
        classes.append(psycopg2.Error)
    except ImportError:  # depends on the machine; only needed for PostgreSQL
        pass
    return tuple(classes)


def describe(e: Exception) -> str:
    """A driver's error as one line."""
    text = str(e).strip().splitlines()
    first = text[0] if text else type(e).__name__
    if "database is locked" in first:
        return "the database is locked by another writer; try again later"
    if "content_hash" in first:  # another writer stored the same run a moment before
        return "the same measurements are already in the database"
    if "not a database" in first or "malformed" in first:
        return "not a flyhistory database or damaged (%s)" % first
    return first


class DB:
    """A connection and its dialect."""

    def __init__(self, conn, postgres: bool, name: str):
        self.conn, self.postgres, self.name = conn, postgres, name
        self.empty = False   # no schema yet, opened by a reader: no runs

    def sql(self, text: str) -> str:
        if self.postgres:
            return text.replace("%", "%%").replace("?", "%s") \
                       .replace("INTEGER PRIMARY KEY", "BIGSERIAL PRIMARY KEY")
        return text

    def execute(self, text: str, params=()):
        cur = self.conn.cursor()
        cur.execute(self.sql(text), tuple(params))
        return cur

    def rows(self, text: str, params=()) -> list[tuple]:
        return self.execute(text, params).fetchall()

    def insert_many(self, table: str, columns: list[str], rows: list[tuple]) -> None:
        if not rows:
            return
        head = "INSERT INTO %s (%s) VALUES " % (table, ", ".join(columns))
        if self.postgres:
            from psycopg2.extras import execute_values
            execute_values(self.conn.cursor(), head + "%s", rows, page_size=2000)
        else:
            self.conn.executemany(head + "(%s)" % ", ".join("?" * len(columns)), rows)

    @contextlib.contextmanager
    def transaction(self):
        """One all-or-nothing unit; SQLite takes the write lock at once, so
        two writers queue rather than fail half-way."""
        if self.postgres:
            try:
                yield
                self.conn.commit()
            except BaseException:
                self.conn.rollback()
                raise
        else:
            self.conn.execute("BEGIN IMMEDIATE")
            try:
                yield
                self.conn.execute("COMMIT")
            except BaseException:
                if self.conn.in_transaction:
                    self.conn.execute("ROLLBACK")
                raise

    def close(self):
        self.conn.close()


def connect(dsn: str, create: bool = True, lock_timeout: float = 30.0) -> DB:
    """Open (and create or migrate) the database named by --db."""
    if is_postgres(dsn):
        try:
            import psycopg2
        except ImportError:
            raise InputError("%s: PostgreSQL needs psycopg2 (Debian's python3-psycopg2)" % masked(dsn))
        try:
            db = DB(psycopg2.connect(dsn, connect_timeout=int(lock_timeout) or 1), True, masked(dsn))
        except psycopg2.Error as e:
            raise InputError("%s: can't connect: %s" % (masked(dsn), _scrubbed(describe(e), dsn)))
    else:
        if not create and not os.path.exists(dsn):
            raise InputError("%s: no such database (flyhistory add creates it)" % dsn)
        try:
            db = DB(sqlite3.connect(dsn, timeout=lock_timeout, isolation_level=None), False, dsn)
        except sqlite3.Error as e:
            raise InputError("%s: can't open: %s" % (dsn, describe(e)))
    try:
        migrate(db, create)
    except driver_errors() as e:
        db.close()
        raise InputError("%s: %s" % (db.name, _scrubbed(describe(e), dsn)))
    except InputError:
        db.close()
        raise
    return db


def _version(db: DB) -> int:
    have = db.rows("SELECT MAX(version) FROM schema_version")[0][0] or 0
    if have > SCHEMA_VERSION:
        raise InputError("%s: the database has schema version %d, newer than this "
                         "flyhistory knows (%d); use a newer flyhistory"
                         % (db.name, have, SCHEMA_VERSION))
    return have


def _no_schema(db: DB) -> bool:
    """Whether the database holds no flyhistory schema yet; an SQLite file
    of another program's tables is refused (not ours to add tables to)."""
    if db.postgres:
        return db.rows("SELECT to_regclass('schema_version')")[0][0] is None
    names = {r[0] for r in db.rows("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if names and "schema_version" not in names:
        raise InputError("%s: not a flyhistory database (it holds other tables: %s)"
                         % (db.name, ", ".join(sorted(names)[:3])))
    return not names


def migrate(db: DB, create: bool = True) -> None:
    """Bring the schema to SCHEMA_VERSION; refuse a newer one. A current
    schema is only read, so readers don't queue behind a writer; without
    `create` a database with no schema is left as it is (db.empty)."""
    try:
        current = _version(db) == SCHEMA_VERSION
    except driver_errors():  # no schema yet (or no database: said below)
        current = False
    if db.postgres:
        db.conn.rollback()  # end the reading transaction (or the failed one)
    if current:
        return
    if not create:  # a command that only reads creates nothing
        db.empty = _no_schema(db)
        if db.postgres:
            db.conn.rollback()
        if db.empty:
            return
    with db.transaction():
        if db.postgres:  # concurrent first adds: one creates, the others wait
            db.execute("SELECT pg_advisory_xact_lock(7263401)")
        _no_schema(db)
        db.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
        have = _version(db)
        for version in range(have + 1, SCHEMA_VERSION + 1):
            for statement in MIGRATIONS[version]:
                db.execute(statement)
            db.execute("INSERT INTO schema_version (version) VALUES (?)", (version,))
