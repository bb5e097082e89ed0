"""The SQLite index of the stored uploads: one row per upload, written in one transaction
after its folder is in place, completed in one more when it has been processed."""

import json
import sqlite3
import threading
from contextlib import contextmanager
from typing import Iterator, Optional

SCHEMA = """
CREATE TABLE IF NOT EXISTS reports (
    id TEXT PRIMARY KEY,
    received REAL NOT NULL,
    app TEXT NOT NULL,
    filename TEXT,
    size INTEGER NOT NULL,
    stored_bytes INTEGER NOT NULL,
    state TEXT NOT NULL,            -- received, processed or unprocessed
    reason TEXT,
    signature TEXT,
    group_id TEXT,
    details TEXT,
    attempts INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS reports_by_group ON reports (group_id, received);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received);
"""
RECEIVED = "received"
PROCESSED = "processed"
UNPROCESSED = "unprocessed"
GROUP_ORDERS = {"recent": "last_seen DESC", "count": "count DESC, last_seen DESC"}
SUMMARY_COLUMNS = "id, received, app, filename, size, state, reason, signature, group_id"


class Index:
    def __init__(self, path: str):
        self.lock = threading.Lock()
        self.connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self.connection.row_factory = sqlite3.Row
        self.connection.execute("PRAGMA journal_mode=WAL")
        self.connection.execute("PRAGMA synchronous=FULL")
        self.connection.executescript(SCHEMA)
        columns = {row["name"] for row in self.connection.execute("PRAGMA table_info(reports)")}
        if "attempts" not in columns:  # an index written before attempts were counted
            self.connection.execute("ALTER TABLE reports ADD COLUMN attempts INTEGER NOT NULL "
                                    "DEFAULT 0")

    def close(self) -> None:
        with self.lock:
            self.connection.close()

    @contextmanager
    def transaction(self) -> Iterator[sqlite3.Connection]:
        with self.lock:
            self.connection.execute("BEGIN IMMEDIATE")
            try:
                yield self.connection
                self.connection.execute("COMMIT")
            except BaseException:
                self.connection.execute("ROLLBACK")
                raise

    def write(self, statements: list) -> None:
        """[(sql, parameters)] in one transaction."""
        with self.transaction() as connection:
            for sql, parameters in statements:
                connection.execute(sql, parameters)

    def query(self, sql: str, parameters: tuple = ()) -> list:
        with self.lock:
            return [dict(row) for row in self.connection.execute(sql, parameters)]

    def add(self, meta: dict) -> None:
        self.write([("INSERT OR IGNORE INTO reports (id, received, app, filename, size, "
                     "stored_bytes, state) VALUES (?, ?, ?, ?, ?, ?, ?)",
                     (meta["id"], meta["received"], meta["name"], meta.get("filename"),
                      meta["size"], meta["size"], RECEIVED))])

    def finish(self, upload_id: str, state: str, reason: Optional[str], signature: Optional[str],
               group: Optional[str], details: dict, stored_bytes: int) -> None:
        self.write([("UPDATE reports SET state=?, reason=?, signature=?, group_id=?, details=?, "
                     "stored_bytes=? WHERE id=?",
                     (state, reason, signature, group, json.dumps(details), stored_bytes,
                      upload_id))])

    def begin_attempt(self, upload_id: str) -> Optional[int]:
        """Counts one more processing attempt before it starts, so an upload that takes the
        collector down is known at the next start; None when there is nothing to process."""
        with self.transaction() as connection:
            connection.execute("UPDATE reports SET attempts=attempts+1 WHERE id=? AND state=?",
                               (upload_id, RECEIVED))
            row = connection.execute("SELECT attempts FROM reports WHERE id=? AND state=?",
                                     (upload_id, RECEIVED)).fetchone()
        return row["attempts"] if row else None

    def remove(self, upload_id: str) -> None:
        self.write([("DELETE FROM reports WHERE id=?", (upload_id,))])

    def ids(self) -> set:
        return {row["id"] for row in self.query("SELECT id FROM reports")}

    def waiting(self) -> list:
        return [row["id"] for row in
                self.query("SELECT id FROM reports WHERE state=? ORDER BY received", (RECEIVED,))]

    def groups(self, order: str = "recent", limit: int = 500) -> list:
        return self.query(
            "SELECT group_id, signature, COUNT(*) AS count, MIN(received) AS first_seen, "
            "MAX(received) AS last_seen, GROUP_CONCAT(DISTINCT app) AS apps "
            "FROM reports WHERE state=? GROUP BY group_id ORDER BY %s LIMIT ?"
            % GROUP_ORDERS.get(order, GROUP_ORDERS["recent"]), (PROCESSED, limit))

    def group(self, group_id: str, limit: int = 500) -> list:
        return self.query("SELECT %s FROM reports WHERE group_id=? ORDER BY received DESC "
                          "LIMIT ?" % SUMMARY_COLUMNS, (group_id, limit))

    def reports_in_state(self, state: str, limit: int = 500) -> list:
        return self.query("SELECT %s FROM reports WHERE state=? ORDER BY received DESC LIMIT ?"
                          % SUMMARY_COLUMNS, (state, limit))

    def report(self, upload_id: str) -> Optional[dict]:
        rows = self.query("SELECT * FROM reports WHERE id=?", (upload_id,))
        if not rows:
            return None
        row = rows[0]
        row["details"] = json.loads(row["details"]) if row["details"] else None
        return row

    # Retention picks only reports whose processing is over: a worker may be on the others.
    def older_than(self, cutoff: float) -> list:
        return [r["id"] for r in self.query("SELECT id FROM reports WHERE received < ? AND "
                                            "state != ?", (cutoff, RECEIVED))]

    def oldest_beyond(self, keep_bytes: int) -> list:
        """Ids whose removal brings the stored total under keep_bytes: uploads that could not
        be processed first, so junk never pushes real reports out, then the oldest."""
        total, = self.query("SELECT COALESCE(SUM(stored_bytes), 0) AS total FROM reports")
        excess = total["total"] - keep_bytes
        chosen = []
        with self.lock:
            rows = self.connection.execute("SELECT id, stored_bytes FROM reports WHERE "
                                           "state != ? ORDER BY state = ?, received",
                                           (RECEIVED, PROCESSED))
            for row in rows:
                if excess <= 0:
                    break
                chosen.append(row["id"])
                excess -= row["stored_bytes"]
        return chosen

    def count(self) -> dict:
        rows = self.query("SELECT state, COUNT(*) AS n FROM reports GROUP BY state")
        return {row["state"]: row["n"] for row in rows}
