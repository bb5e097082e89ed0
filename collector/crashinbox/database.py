"""The two databases the index can live in: an SQLite file beside the store (one collector
process) or PostgreSQL (several collectors and workers on one database). Both offer
transactions whose statements are written with ? placeholders, and a way to wake the
processes that wait for work."""

import select
import sqlite3
import threading
import time
from contextlib import contextmanager
from typing import Iterator, Optional

SQLITE = "sqlite"
POSTGRESQL = "postgresql"
WORK_CHANNEL = "inbox_work"
POOL_SIZE = 32
LISTEN_POLL_SECONDS = 5


class Cursor:
    """Statements of one transaction; rows come back as dicts."""

    def __init__(self, cursor, dialect: str):
        self.cursor = cursor
        self.dialect = dialect

    def execute(self, sql: str, parameters: tuple = ()) -> list:
        if self.dialect == POSTGRESQL:
            sql = sql.replace("?", "%s")
        self.cursor.execute(sql, parameters)
        if self.cursor.description is None:
            return []
        return [dict(row) for row in self.cursor.fetchall()]

    @property
    def rowcount(self) -> int:
        return self.cursor.rowcount


class SqliteDatabase:
    dialect = SQLITE

    def __init__(self, path: str):
        self.lock = threading.Lock()
        self.connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.connection.row_factory = sqlite3.Row
        self.connection.execute("PRAGMA journal_mode=WAL")
        self.connection.execute("PRAGMA synchronous=FULL")
        self.wake = threading.Event()

    @contextmanager
    def transaction(self) -> Iterator[Cursor]:
        with self.lock:
            self.connection.execute("BEGIN IMMEDIATE")
            try:
                yield Cursor(self.connection.cursor(), SQLITE)
                self.connection.execute("COMMIT")
            except BaseException:
                self.connection.execute("ROLLBACK")
                raise

    def now(self, cursor: Cursor) -> float:
        """Seconds since the epoch by the clock that leases are kept by."""
        return time.time()

    def notify_work(self, cursor: Cursor) -> None:
        self.wake.set()

    def listen_for_work(self, stop: threading.Event) -> threading.Event:
        return self.wake

    def close(self) -> None:
        with self.lock:
            self.connection.close()


class PostgresDatabase:
    dialect = POSTGRESQL

    def __init__(self, url: str):
        import psycopg2
        import psycopg2.extras
        import psycopg2.pool
        self.psycopg2 = psycopg2
        self.row_factory = psycopg2.extras.RealDictCursor
        self.url = url
        self.pool = psycopg2.pool.ThreadedConnectionPool(1, POOL_SIZE, url)
        # The pool refuses rather than waits when every connection is out.
        self.slots = threading.BoundedSemaphore(POOL_SIZE)
        self.wake = threading.Event()

    @contextmanager
    def transaction(self) -> Iterator[Cursor]:
        with self.slots:
            connection = self.pool.getconn()
            broken = False
            try:
                with connection:  # commits, or rolls back on an exception
                    with connection.cursor(cursor_factory=self.row_factory) as cursor:
                        yield Cursor(cursor, POSTGRESQL)
            except (self.psycopg2.OperationalError, self.psycopg2.InterfaceError):
                broken = True
                raise
            finally:
                self.pool.putconn(connection, close=broken or connection.closed)

    def now(self, cursor: Cursor) -> float:
        """Seconds since the epoch by the database server's clock: leases and retry times
        that processes on several hosts compare must not depend on each host's clock."""
        return float(cursor.execute("SELECT EXTRACT(EPOCH FROM clock_timestamp()) AS now")[0]
                     ["now"])

    def notify_work(self, cursor: Cursor) -> None:
        """Delivered to every listening process when the transaction commits."""
        cursor.execute("NOTIFY " + WORK_CHANNEL)
        self.wake.set()

    def listen_for_work(self, stop: threading.Event) -> threading.Event:
        """An event set whenever any process notifies work, kept by a listening thread."""
        threading.Thread(target=self.listen, args=(stop,), daemon=True,
                         name="listen").start()
        return self.wake

    def listen(self, stop: threading.Event) -> None:
        while not stop.is_set():
            connection = None
            try:
                connection = self.psycopg2.connect(self.url)
                connection.autocommit = True
                connection.cursor().execute("LISTEN " + WORK_CHANNEL)
                self.wake.set()  # whatever was notified while not listening
                while not stop.is_set():
                    if select.select([connection], [], [], LISTEN_POLL_SECONDS)[0]:
                        connection.poll()
                        if connection.notifies:
                            connection.notifies.clear()
                            self.wake.set()
            except self.psycopg2.Error:
                stop.wait(1)
            finally:
                if connection is not None:
                    connection.close()

    def close(self) -> None:
        self.pool.closeall()


def open_database(url: Optional[str], default_path: str):
    """PostgreSQL for a postgresql:// URL, else SQLite at default_path."""
    if url and url.startswith(("postgresql://", "postgres://")):
        return PostgresDatabase(url)
    if url:
        raise ValueError("--database takes a postgresql://... URL")
    return SqliteDatabase(default_path)
