"""The index of the stored uploads and the processing queue, in SQLite or PostgreSQL: one row
per upload, written after its folder is in place; claimed by a worker for a lease, completed
when it has been processed. A worker's result counts only while its claim is the row's."""

import json
import time
import uuid
from dataclasses import dataclass, fields
from typing import Optional

from . import alerts
from .database import POSTGRESQL
from .versions import is_later

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
    claim TEXT,                     -- which worker's attempt may finish it
    version TEXT,                   -- the application's, once processed
    exception_code BIGINT
);
CREATE TABLE IF NOT EXISTS missing_symbols (
    module_key TEXT NOT NULL,       -- name/TIMESTAMPSIZE/name of a module without symbols
    report_id TEXT NOT NULL,
    PRIMARY KEY (module_key, report_id)
);
CREATE TABLE IF NOT EXISTS annotations (
    report_id TEXT NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS crash_groups (
    group_id TEXT PRIMARY KEY,
    signature TEXT NOT NULL,
    first_version TEXT,             -- "new in"
    first_seen DOUBLE PRECISION NOT NULL,
    state TEXT NOT NULL,            -- open, resolved or regressed
    resolved_in TEXT,
    regressed_in TEXT,
    changed DOUBLE PRECISION
);
CREATE TABLE IF NOT EXISTS deliveries (
    id TEXT PRIMARY KEY,
    event_id TEXT NOT NULL,
    url TEXT NOT NULL,
    payload TEXT NOT NULL,
    state TEXT NOT NULL,            -- pending, delivered or failed
    attempts INTEGER NOT NULL DEFAULT 0,
    next_try DOUBLE PRECISION NOT NULL,
    lease_until DOUBLE PRECISION,
    last_error TEXT
)
"""
# After the columns an older index lacks have been added. The filtered lists read (state,
# group_id, received, app) of the matching reports: each filter's index holds them, so a list
# is read from the index alone. reports_of_group replaces the narrower reports_by_group, which
# SQLite's planner took for date ranges and then read every row.
INDEXES = """
DROP INDEX IF EXISTS reports_by_group;
CREATE INDEX IF NOT EXISTS reports_of_group ON reports (group_id, received, state, app);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received);
CREATE INDEX IF NOT EXISTS reports_by_state ON reports (state, received);
CREATE INDEX IF NOT EXISTS reports_grouped ON reports (state, group_id, app, received);
CREATE INDEX IF NOT EXISTS reports_recent ON reports (state, received, group_id, app);
CREATE INDEX IF NOT EXISTS reports_by_app ON reports (app, state, group_id, received);
CREATE INDEX IF NOT EXISTS reports_by_version ON reports (version, state, group_id, received, app);
CREATE INDEX IF NOT EXISTS reports_by_code ON reports (exception_code, state, group_id, received, app);
CREATE INDEX IF NOT EXISTS annotations_by_name ON annotations (name, value);
CREATE INDEX IF NOT EXISTS annotations_by_report ON annotations (report_id);
CREATE INDEX IF NOT EXISTS deliveries_due ON deliveries (state, next_try)
"""
# Groups of reports processed before groups had a state are open, new in no known version.
KNOWN_GROUPS = """
INSERT INTO crash_groups (group_id, signature, first_seen, state, changed)
SELECT group_id, MIN(signature), MIN(received), 'open', MIN(received) FROM reports
WHERE state='processed' AND group_id IS NOT NULL AND group_id NOT IN
(SELECT group_id FROM crash_groups) GROUP BY group_id ON CONFLICT (group_id) DO NOTHING
"""
# Columns an index written by earlier versions lacks.
ADDED_COLUMNS = {"attempts": "INTEGER NOT NULL DEFAULT 0", "lease_until": "DOUBLE PRECISION",
                 "claim": "TEXT", "version": "TEXT", "exception_code": "BIGINT"}
SCHEMA_LOCK = 0x1A5B0C  # serialises CREATE TABLE between processes starting together
RECEIVED = "received"
PROCESSED = "processed"
UNPROCESSED = "unprocessed"
GROUP_ORDERS = {"recent": "last_seen DESC", "count": "count DESC, last_seen DESC"}
GROUP_STATES = ("open", "resolved", "regressed")
SUMMARY_COLUMNS = ("id, received, app, filename, size, state, reason, signature, group_id, "
                   "version, exception_code")
GROUP_COLUMNS = ("group_id, signature, first_version, state, resolved_in, regressed_in, "
                 "changed")
SECONDS_PER_DAY = 86400
CHART_DAYS = 30
FEW_GROUPS = 8  # daily counts of this many groups are searched group by group
MAX_ANNOTATIONS = 256  # indexed per report; the page shows them all
INSERT = ("INSERT INTO reports (id, received, app, filename, size, stored_bytes, state) "
          "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING")


@dataclass
class ReportFilter:
    """What the lists are narrowed to; None leaves a field out. Values are checked by the
    caller (the web layer refuses bad ones)."""
    app: Optional[str] = None
    version: Optional[str] = None
    text: Optional[str] = None          # part of the signature, any case
    code: Optional[int] = None          # exception code
    annotation: Optional[str] = None    # name of an annotation the report carries
    value: Optional[str] = None         # ... with this value
    since: Optional[float] = None       # received at or after
    until: Optional[float] = None       # received before
    state: Optional[str] = None         # of the group: open, resolved or regressed

    def active(self) -> dict:
        return {f.name: getattr(self, f.name) for f in fields(self)
                if getattr(self, f.name) is not None}

    def where(self) -> tuple:
        """(" AND ..." clauses on reports, parameters)."""
        clauses, parameters = [], []
        for column, value in (("app", self.app), ("version", self.version),
                              ("exception_code", self.code)):
            if value is not None:
                clauses.append("%s=?" % column)
                parameters.append(value)
        if self.text:
            # A group's reports share its signature: 400 groups are searched, not 100,000
            # reports.
            escaped = self.text.lower().replace("!", "!!").replace("%", "!%").replace("_", "!_")
            clauses.append("group_id IN (SELECT group_id FROM crash_groups WHERE "
                           "LOWER(signature) LIKE ? ESCAPE '!')")
            parameters.append("%" + escaped + "%")
        if self.annotation is not None:
            inner = "SELECT report_id FROM annotations WHERE name=?"
            parameters.append(self.annotation)
            if self.value is not None:
                inner += " AND value=?"
                parameters.append(self.value)
            clauses.append("id IN (%s)" % inner)
        if self.since is not None:
            clauses.append("received>=?")
            parameters.append(self.since)
        if self.until is not None:
            clauses.append("received<?")
            parameters.append(self.until)
        if self.state is not None:
            clauses.append("group_id IN (SELECT group_id FROM crash_groups WHERE state=?)")
            parameters.append(self.state)
        return "".join(" AND " + c for c in clauses), tuple(parameters)


NO_FILTER = ReportFilter()


def placeholders(count: int) -> str:
    return ",".join("?" * count)


class Index:
    def __init__(self, database):
        self.database = database
        self.postgresql = database.dialect == POSTGRESQL
        with database.transaction() as cursor:
            if self.postgresql:
                cursor.execute("SELECT pg_advisory_xact_lock(?)", (SCHEMA_LOCK,))
            for statement in SCHEMA.split(";"):
                cursor.execute(statement)
            if self.postgresql:
                present = {row["column_name"] for row in cursor.execute(
                    "SELECT column_name FROM information_schema.columns WHERE "
                    "table_name='reports' AND table_schema=current_schema()")}
            else:
                present = {row["name"] for row in cursor.execute("PRAGMA table_info(reports)")}
            for column, kind in ADDED_COLUMNS.items():
                if column not in present:  # ALTER locks the table even when nothing changes
                    cursor.execute("ALTER TABLE reports ADD COLUMN %s %s" % (column, kind))
            for statement in INDEXES.split(";"):
                cursor.execute(statement)
            cursor.execute(KNOWN_GROUPS)
        self.webhooks = ()  # where events go; set by the inbox

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
        lock = " FOR UPDATE SKIP LOCKED" if self.postgresql else ""
        with self.database.transaction() as cursor:
            now = self.database.now(cursor)
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
            until = self.database.now(cursor) + lease_seconds
            for upload_id, claim in claims:
                cursor.execute("UPDATE reports SET lease_until=? WHERE id=? AND claim=? AND "
                               "state=?", (until, upload_id, claim, RECEIVED))

    def holds(self, upload_id: str, claim: str) -> bool:
        """Whether the attempt of claim still holds the upload."""
        return bool(self.query("SELECT id FROM reports WHERE id=? AND claim=? AND state=?",
                               (upload_id, claim, RECEIVED)))

    def seconds_to_next_lease_end(self) -> Optional[float]:
        """How long until the first lease held runs out, or None when none is held."""
        with self.database.transaction() as cursor:
            now = self.database.now(cursor)
            until = cursor.execute("SELECT MIN(lease_until) AS until FROM reports WHERE "
                                   "state=? AND lease_until IS NOT NULL",
                                   (RECEIVED,))[0]["until"]
        return None if until is None else until - now

    def release_leases(self) -> None:
        """For a collector that owns its index alone: leases of an earlier run are void."""
        self.query("UPDATE reports SET lease_until=NULL WHERE state=?", (RECEIVED,))

    def finish(self, upload_id: str, claim: str, state: str, reason: Optional[str],
               signature: Optional[str], group: Optional[str], details: dict,
               stored_bytes: int, missing: tuple = ()) -> bool:
        """Records the outcome of the attempt that holds claim; False when that attempt lost
        its lease to another, whose outcome will count instead."""
        dump = details.get("dump") or {}
        version = details.get("version")
        code = (dump.get("exception") or {}).get("code")
        with self.database.transaction() as cursor:
            cursor.execute("UPDATE reports SET state=?, reason=?, signature=?, group_id=?, "
                           "details=?, stored_bytes=?, lease_until=NULL, claim=NULL, "
                           "version=?, exception_code=? WHERE id=? AND claim=? AND state=?",
                           (state, reason, signature, group, json.dumps(details), stored_bytes,
                            version, code, upload_id, claim, RECEIVED))
            if cursor.rowcount != 1:
                return False
            cursor.execute("DELETE FROM missing_symbols WHERE report_id=?", (upload_id,))
            for key in sorted(set(missing)):
                cursor.execute("INSERT INTO missing_symbols (module_key, report_id) "
                               "VALUES (?, ?)", (key, upload_id))
            cursor.execute("DELETE FROM annotations WHERE report_id=?", (upload_id,))
            for annotation in (dump.get("annotations") or ())[:MAX_ANNOTATIONS]:
                cursor.execute("INSERT INTO annotations (report_id, name, value) "
                               "VALUES (?, ?, ?)",
                               (upload_id, annotation["name"], annotation["value"]))
            if state == PROCESSED and group:
                self.track_group(cursor, upload_id, group, signature, version)
        return True

    def track_group(self, cursor, upload_id: str, group: str, signature: str,
                    version: Optional[str]) -> None:
        """A group's first report makes it new in its version; a report from a version later
        than the one a group was resolved in makes it regressed. Each is an event, recorded
        in the transaction that saw it: exactly one process records it."""
        now = time.time()
        lock = " FOR UPDATE" if self.postgresql else ""
        event = {"group_id": group, "signature": signature, "version": version,
                 "report_id": upload_id, "page": "/groups/" + group}
        cursor.execute("INSERT INTO crash_groups (group_id, signature, first_version, "
                       "first_seen, state, changed) VALUES (?, ?, ?, ?, 'open', ?) "
                       "ON CONFLICT (group_id) DO NOTHING",
                       (group, signature, version, now, now))
        if cursor.rowcount == 1:
            alerts.record(cursor, self.webhooks, dict(event, event="new_group"))
            return
        row = cursor.execute("SELECT state, resolved_in FROM crash_groups WHERE group_id=?"
                             + lock, (group,))[0]
        if row["state"] == "resolved" and is_later(version, row["resolved_in"]):
            cursor.execute("UPDATE crash_groups SET state='regressed', regressed_in=?, "
                           "changed=? WHERE group_id=?", (version, now, group))
            alerts.record(cursor, self.webhooks, dict(event, event="regression",
                                                      resolved_in=row["resolved_in"]))

    def set_group_state(self, group: str, state: str,
                        version: Optional[str] = None) -> Optional[dict]:
        """Resolved in version, or open again; None for a group never seen."""
        resolved_in = version if state == "resolved" else None
        with self.database.transaction() as cursor:
            cursor.execute("UPDATE crash_groups SET state=?, resolved_in=?, regressed_in=NULL, "
                           "changed=? WHERE group_id=?",
                           (state, resolved_in, time.time(), group))
            if cursor.rowcount != 1:
                return None
            return cursor.execute("SELECT %s FROM crash_groups WHERE group_id=?"
                                  % GROUP_COLUMNS, (group,))[0]

    def group_states(self, groups: list) -> dict:
        """group id -> its row of crash_groups."""
        if not groups:
            return {}
        rows = self.query("SELECT %s FROM crash_groups WHERE group_id IN (%s)"
                          % (GROUP_COLUMNS, placeholders(len(groups))), tuple(groups))
        return {row["group_id"]: row for row in rows}

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
            cursor.execute("DELETE FROM annotations WHERE report_id=?", (upload_id,))

    def ids(self) -> set:
        return {row["id"] for row in self.query("SELECT id FROM reports")}

    def groups(self, order: str = "recent", limit: int = 500,
               narrow: ReportFilter = NO_FILTER) -> list:
        """The groups of the processed reports narrow lets through, with their counts of
        those and their state."""
        where, parameters = narrow.where()
        groups = self.query(
            "SELECT group_id, COUNT(*) AS count, MIN(received) AS first_seen, "
            "MAX(received) AS last_seen FROM reports WHERE state=?%s GROUP BY group_id "
            "ORDER BY %s LIMIT ?" % (where, GROUP_ORDERS.get(order, GROUP_ORDERS["recent"])),
            (PROCESSED,) + parameters + (limit,))
        ids = [g["group_id"] for g in groups]
        states = self.group_states(ids)
        apps = {}
        if ids:
            for row in self.query("SELECT DISTINCT group_id, app FROM reports WHERE state=?%s "
                                  "AND group_id IN (%s)" % (where, placeholders(len(ids))),
                                  (PROCESSED,) + parameters + tuple(ids)):
                apps.setdefault(row["group_id"], []).append(row["app"])
        for group in groups:
            state = states.get(group["group_id"], {})
            group["signature"] = state.get("signature")
            group["apps"] = ",".join(sorted(apps.get(group["group_id"], [])))
            for column in ("first_version", "resolved_in", "regressed_in"):
                group[column] = state.get(column)
            group["group_state"] = state.get("state", "open")
        return groups

    def group(self, group_id: str, limit: int = 500,
              narrow: ReportFilter = NO_FILTER) -> list:
        where, parameters = narrow.where()
        return self.query("SELECT %s FROM reports WHERE group_id=?%s ORDER BY received DESC "
                          "LIMIT ?" % (SUMMARY_COLUMNS, where),
                          (group_id,) + parameters + (limit,))

    def reports(self, narrow: ReportFilter = NO_FILTER, limit: int = 500) -> list:
        """The newest processed reports narrow lets through."""
        where, parameters = narrow.where()
        return self.query("SELECT %s FROM reports WHERE state=?%s ORDER BY received DESC "
                          "LIMIT ?" % (SUMMARY_COLUMNS, where),
                          (PROCESSED,) + parameters + (limit,))

    def versions(self, group_id: str) -> list:
        """[{"version", "count", "first_seen", "last_seen"}] of a group's processed reports."""
        return self.query("SELECT version, COUNT(*) AS count, MIN(received) AS first_seen, "
                          "MAX(received) AS last_seen FROM reports WHERE group_id=? AND "
                          "state=? GROUP BY version", (group_id, PROCESSED))

    def daily_counts(self, groups: Optional[list] = None, narrow: ReportFilter = NO_FILTER,
                     now: Optional[float] = None, days: int = CHART_DAYS) -> dict:
        """{group id or None for all: {day number (days since 1970): reports}} over the last
        days days, of the processed reports narrow lets through."""
        today = int((now or time.time()) // SECONDS_PER_DAY)
        day = ("CAST(FLOOR(received / %d) AS INTEGER)" if self.postgresql
               else "CAST(received / %d AS INTEGER)") % SECONDS_PER_DAY
        where, parameters = narrow.where()
        parameters = (PROCESSED, (today - days + 1) * SECONDS_PER_DAY) + parameters
        if groups is None:
            rows = self.query("SELECT NULL AS group_id, %s AS day, COUNT(*) AS n FROM reports "
                              "WHERE state=? AND received>=?%s GROUP BY %s"
                              % (day, where, day), parameters)
        elif not groups:
            rows = []
        elif len(groups) <= FEW_GROUPS:
            rows = self.query("SELECT group_id, %s AS day, COUNT(*) AS n FROM reports WHERE "
                              "group_id IN (%s) AND state=? AND received>=?%s "
                              "GROUP BY %s, group_id"
                              % (day, placeholders(len(groups)), where, day),
                              tuple(groups) + parameters)
        else:
            # Every group's, read from the index of (state, received, group_id): for a long
            # list of groups SQLite searches group by group, reading the rows.
            wanted = set(groups)
            rows = [row for row in self.query(
                "SELECT group_id, %s AS day, COUNT(*) AS n FROM reports WHERE state=? AND "
                "received>=?%s GROUP BY %s, group_id" % (day, where, day), parameters)
                if row["group_id"] in wanted]
        counts = {}
        for row in rows:
            counts.setdefault(row["group_id"], {})[int(row["day"])] = row["n"]
        return counts

    def applications(self, limit: int = 500) -> list:
        """The applications' names, in order: one step of the index per name, where
        DISTINCT would read every report."""
        return [row["app"] for row in self.query(
            "WITH RECURSIVE apps(app, n) AS (SELECT MIN(app), 1 FROM reports UNION ALL "
            "SELECT (SELECT MIN(app) FROM reports WHERE app > apps.app), n + 1 FROM apps "
            "WHERE apps.app IS NOT NULL AND n < ?) SELECT app FROM apps WHERE app IS NOT NULL",
            (limit,))]

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
