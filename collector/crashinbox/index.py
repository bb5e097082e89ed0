"""The index of the stored uploads and the processing queue, in SQLite or PostgreSQL: one row
per upload, written after its folder is in place; claimed by a worker for a lease, completed
when it has been processed. A worker's result counts only while its claim is the row's."""

import json
import time
import uuid
from typing import Optional

from .database import POSTGRESQL

SCHEMA = """
CREATE TABLE IF NOT EXISTS reports (
    id TEXT PRIMARY KEY,
    received DOUBLE PRECISION NOT NULL,
    app TEXT NOT NULL,
    filename TEXT,
    size BIGINT NOT NULL,
    stored_bytes BIGINT NOT NULL,
    state TEXT NOT NULL,            -- received, processed or unprocessed
    reason TEXT,
    signature TEXT,
    group_id TEXT,
    details TEXT,
    attempts INTEGER NOT NULL DEFAULT 0,
    lease_until DOUBLE PRECISION,   -- while a worker holds it
    claim TEXT                      -- which worker's attempt may finish it
);
CREATE INDEX IF NOT EXISTS reports_by_group ON reports (group_id, received);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received);
CREATE INDEX IF NOT EXISTS reports_by_state ON reports (state, received);
CREATE TABLE IF NOT EXISTS missing_symbols (
    module_key TEXT NOT NULL,       -- name/TIMESTAMPSIZE/name of a module without symbols
    report_id TEXT NOT NULL,
    PRIMARY KEY (module_key, report_id)
)
"""
# Columns an SQLite index written by earlier versions lacks.
ADDED_COLUMNS = {"attempts": "INTEGER NOT NULL DEFAULT 0", "lease_until": "DOUBLE PRECISION",
                 "claim": "TEXT"}
SCHEMA_LOCK = 0x1A5B0C  # serialises CREATE TABLE between processes starting together
RECEIVED = "received"
PROCESSED = "processed"
UNPROCESSED = "unprocessed"
GROUP_ORDERS = {"recent": "last_seen DESC", "count": "count DESC, last_seen DESC"}
SUMMARY_COLUMNS = "id, received, app, filename, size, state, reason, signature, group_id"
INSERT = ("INSERT INTO reports (id, received, app, filename, size, stored_bytes, state) "
          "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING")


class Index:
    def __init__(self, database):
        self.database = database
        self.postgresql = database.dialect == POSTGRESQL
        with database.transaction() as cursor:
            if self.postgresql:
                cursor.execute("SELECT pg_advisory_xact_lock(?)", (SCHEMA_LOCK,))
            for statement in SCHEMA.split(";"):
                cursor.execute(statement)
            if not self.postgresql:
                present = {row["name"] for row in cursor.execute("PRAGMA table_info(reports)")}
                for column, kind in ADDED_COLUMNS.items():
                    if column not in present:
                        cursor.execute("ALTER TABLE reports ADD COLUMN %s %s" % (column, kind))

    def close(self) -> None:
        self.database.close()

    def query(self, sql: str, parameters: tuple = ()) -> list:
        with self.database.transaction() as cursor:
            return cursor.execute(sql, parameters)

    def add_many(self, metas: list) -> None:
        """Indexes uploads that are in place, in one transaction, and wakes the workers."""
        with self.database.transaction() as cursor:
            for meta in metas:
                cursor.execute(INSERT, (meta["id"], meta["received"], meta["name"],
                                        meta.get("filename"), meta["size"], meta["size"],
                                        RECEIVED))
            self.database.notify_work(cursor)

    def add(self, meta: dict) -> None:
        self.add_many([meta])

    def claim(self, lease_seconds: float) -> Optional[dict]:
        """The oldest upload waiting for processing and not leased, now leased to the caller:
        {"id", "claim", "attempts"} with this attempt counted, or None."""
        now = time.time()
        lock = " FOR UPDATE SKIP LOCKED" if self.postgresql else ""
        with self.database.transaction() as cursor:
            rows = cursor.execute("SELECT id, attempts FROM reports WHERE state=? AND "
                                  "(lease_until IS NULL OR lease_until < ?) ORDER BY received "
                                  "LIMIT 1" + lock, (RECEIVED, now))
            if not rows:
                return None
            claim = uuid.uuid4().hex
            cursor.execute("UPDATE reports SET attempts=attempts+1, lease_until=?, claim=? "
                           "WHERE id=?", (now + lease_seconds, claim, rows[0]["id"]))
        return {"id": rows[0]["id"], "claim": claim, "attempts": rows[0]["attempts"] + 1}

    def renew(self, claims: list, lease_seconds: float) -> None:
        """Extends the leases of [(id, claim)] still held."""
        with self.database.transaction() as cursor:
            for upload_id, claim in claims:
                cursor.execute("UPDATE reports SET lease_until=? WHERE id=? AND claim=? AND "
                               "state=?", (time.time() + lease_seconds, upload_id, claim,
                                           RECEIVED))

    def next_lease_end(self) -> Optional[float]:
        rows = self.query("SELECT MIN(lease_until) AS until FROM reports WHERE state=? AND "
                          "lease_until IS NOT NULL", (RECEIVED,))
        return rows[0]["until"]

    def release_leases(self) -> None:
        """For a collector that owns its index alone: leases of an earlier run are void."""
        self.query("UPDATE reports SET lease_until=NULL WHERE state=?", (RECEIVED,))

    def finish(self, upload_id: str, claim: str, state: str, reason: Optional[str],
               signature: Optional[str], group: Optional[str], details: dict,
               stored_bytes: int, missing: tuple = ()) -> bool:
        """Records the outcome of the attempt that holds claim; False when that attempt lost
        its lease to another, whose outcome will count instead."""
        with self.database.transaction() as cursor:
            cursor.execute("UPDATE reports SET state=?, reason=?, signature=?, group_id=?, "
                           "details=?, stored_bytes=?, lease_until=NULL, claim=NULL "
                           "WHERE id=? AND claim=? AND state=?",
                           (state, reason, signature, group, json.dumps(details), stored_bytes,
                            upload_id, claim, RECEIVED))
            if cursor.rowcount != 1:
                return False
            cursor.execute("DELETE FROM missing_symbols WHERE report_id=?", (upload_id,))
            for key in sorted(set(missing)):
                cursor.execute("INSERT INTO missing_symbols (module_key, report_id) "
                               "VALUES (?, ?)", (key, upload_id))
        return True

    def requeue_missing(self, key: str) -> int:
        """Processing again of the reports that lacked the symbols of key."""
        with self.database.transaction() as cursor:
            cursor.execute("UPDATE reports SET state=?, attempts=0, lease_until=NULL, claim=NULL "
                           "WHERE state!=? AND id IN (SELECT report_id FROM missing_symbols "
                           "WHERE module_key=?)", (RECEIVED, RECEIVED, key))
            count = cursor.rowcount
            cursor.execute("DELETE FROM missing_symbols WHERE module_key=?", (key,))
            if count:
                self.database.notify_work(cursor)
        return count

    def remove(self, upload_id: str) -> None:
        with self.database.transaction() as cursor:
            cursor.execute("DELETE FROM reports WHERE id=?", (upload_id,))
            cursor.execute("DELETE FROM missing_symbols WHERE report_id=?", (upload_id,))

    def ids(self) -> set:
        return {row["id"] for row in self.query("SELECT id FROM reports")}

    def groups(self, order: str = "recent", limit: int = 500) -> list:
        apps = ("string_agg(DISTINCT app, ',')" if self.postgresql
                else "GROUP_CONCAT(DISTINCT app)")
        return self.query(
            "SELECT group_id, MIN(signature) AS signature, COUNT(*) AS count, "
            "MIN(received) AS first_seen, MAX(received) AS last_seen, %s AS apps "
            "FROM reports WHERE state=? GROUP BY group_id ORDER BY %s LIMIT ?"
            % (apps, GROUP_ORDERS.get(order, GROUP_ORDERS["recent"])), (PROCESSED, limit))

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
        row.pop("claim", None)
        row["details"] = json.loads(row["details"]) if row["details"] else None
        return row

    # Retention picks only reports whose processing is over: a worker may be on the others.
    def older_than(self, cutoff: float) -> list:
        return [r["id"] for r in self.query("SELECT id FROM reports WHERE received < ? AND "
                                            "state != ?", (cutoff, RECEIVED))]

    def oldest_beyond(self, keep_bytes: int) -> list:
        """Ids whose removal brings the stored total under keep_bytes: uploads that could not
        be processed first, so junk never pushes real reports out, then the oldest."""
        with self.database.transaction() as cursor:
            total = cursor.execute("SELECT COALESCE(SUM(stored_bytes), 0) AS total "
                                   "FROM reports")[0]["total"]
            excess = total - keep_bytes
            if excess <= 0:
                return []
            rows = cursor.execute("SELECT id, stored_bytes FROM reports WHERE state != ? "
                                  "ORDER BY state = ?, received", (RECEIVED, PROCESSED))
        chosen = []
        for row in rows:
            if excess <= 0:
                break
            chosen.append(row["id"])
            excess -= row["stored_bytes"]
        return chosen

    def count(self) -> dict:
        rows = self.query("SELECT state, COUNT(*) AS n FROM reports GROUP BY state")
        return {row["state"]: row["n"] for row in rows}
