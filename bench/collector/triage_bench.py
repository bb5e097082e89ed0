#!/usr/bin/python3
"""How fast the triage pages and API answer over a large inbox: 100,000 synthetic processed
reports (by default) over 60 days, 8 applications, 40 versions, 400 groups of very unequal
size and two annotations each, on SQLite and on PostgreSQL. Each request is timed through
the service's own application (its queries, filters and templates; no HTTP), the median of
several runs printed per request and backend. The goal: a filtered page within 300 ms.

usage: triage_bench.py [--reports N] [--runs N] [--backend sqlite|postgresql|both]
(bench/run_bench.py adds the same figures to its table as ratios to the goal)
"""

import argparse
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "collector"))
sys.path.insert(0, os.path.join(ROOT, "collector"))
import postgres  # noqa: E402
from crashinbox.inbox import Inbox  # noqa: E402
from crashinbox.signature import group_id  # noqa: E402
from crashinbox.web import create_app  # noqa: E402

DAYS = 60
APPS = ["App%d" % n for n in range(8)]
VERSIONS = ["%d.%d.%d" % (m, n, p) for m in (1, 2) for n in range(4) for p in range(5)]
CODES = [0xC0000005, 0xC0000094, 0xC00000FD, 0xE0435202, 0xE048414E]
GROUPS = 400
BATCH = 5000
GOAL_SECONDS = 0.3
QUICK_REPORTS = 5000


def synthetic(count, seed=7):
    """Rows of reports and annotations; group sizes fall off as 1/rank."""
    rng = random.Random(seed)
    weights = [1 / (rank + 1) for rank in range(GROUPS)]
    signatures = ["0x%08X app.exe!Function%d()" % (CODES[g % len(CODES)], g)
                  for g in range(GROUPS)]
    signatures = ["hang app.exe!Wait%d()" % g if s.startswith("0xE048414E") else s
                  for g, s in enumerate(signatures)]
    now = time.time()
    reports, annotations = [], []
    for number, g in enumerate(rng.choices(range(GROUPS), weights, k=count)):
        upload_id = "r%07d" % number
        received = now - rng.random() * DAYS * 86400
        reports.append((upload_id, received, rng.choice(APPS), "report.zip", 8000, 16000,
                        "processed", signatures[g], group_id(signatures[g]), "{}",
                        rng.choice(VERSIONS), CODES[g % len(CODES)]))
        annotations.append((upload_id, "user", "user%d" % rng.randrange(1000)))
        annotations.append((upload_id, "build", "b%d" % rng.randrange(50)))
    return reports, annotations, signatures


def fill(inbox, reports, annotations, signatures):
    database = inbox.database
    with database.transaction() as cursor:
        raw = cursor.cursor
        mark = "%s" if database.dialect == "postgresql" else "?"
        insert = ("INSERT INTO reports (id, received, app, filename, size, stored_bytes, state, "
                  "signature, group_id, details, version, exception_code) VALUES (%s)"
                  % ",".join([mark] * 12))
        for start in range(0, len(reports), BATCH):
            raw.executemany(insert, reports[start:start + BATCH])
        insert = "INSERT INTO annotations (report_id, name, value) VALUES (%s)" % ",".join(
            [mark] * 3)
        for start in range(0, len(annotations), BATCH):
            raw.executemany(insert, annotations[start:start + BATCH])
        states = ["open", "resolved", "regressed"]
        insert = ("INSERT INTO crash_groups (group_id, signature, first_version, first_seen, "
                  "state, resolved_in, changed) VALUES (%s)" % ",".join([mark] * 7))
        raw.executemany(insert, [(group_id(s), s, VERSIONS[0], time.time() - DAYS * 86400,
                                  states[n % 3], VERSIONS[5] if n % 3 else None, time.time())
                                 for n, s in enumerate(signatures)])
    if database.dialect == "postgresql":
        # What autovacuum does after a bulk insert: statistics, and the visibility map that
        # lets index-only scans skip the table.
        import psycopg2
        connection = psycopg2.connect(database.url)
        connection.autocommit = True
        connection.cursor().execute("VACUUM ANALYZE")
        connection.close()
    else:
        with database.transaction() as cursor:
            cursor.execute("ANALYZE")


def requests(signatures):
    big, small = group_id(signatures[0]), group_id(signatures[150])
    since = time.strftime("%Y-%m-%d", time.gmtime(time.time() - 7 * 86400))
    return [
        ("group list, no filter", "/"),
        ("group list, most frequent", "/?order=count"),
        ("group list, app", "/?app=App3"),
        ("group list, app + version", "/?app=App3&version=1.2.3"),
        ("group list, signature text", "/?q=function12"),
        ("group list, exception code", "/?code=0xC0000094"),
        ("group list, annotation = value", "/?annotation=user&value=user42"),
        ("group list, last 7 days", "/?since=" + since),
        ("group list, regressed", "/?state=regressed"),
        ("group page, largest group", "/groups/" + big),
        ("group page, largest, one version", "/groups/%s?version=2.1.0" % big),
        ("group page, small group", "/groups/" + small),
        ("API groups, app + code", "/api/groups?app=App1&code=0xC0000005"),
        ("API reports, version", "/api/reports?version=1.0.4"),
        ("API reports, annotation", "/api/reports?annotation=build&value=b7"),
        ("API reports per day, app", "/api/days?app=App5"),
    ]


def measure(client, path, runs):
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        answer = client.get(path)
        times.append(time.perf_counter() - began)
        if answer.status_code != 200:
            raise RuntimeError("%s answered %d" % (path, answer.status_code))
    return statistics.median(times), max(times)


def bench(backend, count, runs, work, say=print):
    """[(request, median seconds, worst seconds)] over an inbox of count reports."""
    store = os.path.join(work, backend)
    url = postgres.server().database(store) if backend == "postgresql" else None
    inbox = Inbox(store, workers=0, database=url)
    reports, annotations, signatures = synthetic(count)
    began = time.perf_counter()
    fill(inbox, reports, annotations, signatures)
    filled = time.perf_counter() - began
    client = create_app(inbox).test_client()
    say("%s: %d reports, %d annotations, %d groups (filled in %.1f s)"
        % (backend, len(reports), len(annotations), len(signatures), filled))
    rows = []
    try:
        for name, path in requests(signatures):
            client.get(path)  # warm the caches once
            median, worst = measure(client, path, runs)
            rows.append((name, median, worst))
    finally:
        inbox.stop.set()
        inbox.database.close()
    return rows


def bench_triage(results, work, quick=False):
    """Adds the triage rows to a run_bench Results table: each request's median time on
    each backend against the 300 ms goal."""
    count = QUICK_REPORTS if quick else 100000
    runs = 1 if quick else 5
    for backend in ("sqlite", "postgresql"):
        name = "SQLite" if backend == "sqlite" else "PostgreSQL"
        for request, median, worst in bench(backend, count, runs, work, say=lambda _: None):
            results.add("collector triage %s, %s (vs. the 300 ms goal)" % (request, name),
                        "%d reports" % count, median * 1000, GOAL_SECONDS * 1000, "ms",
                        "median of %d, worst %.0f ms; the service's app, no HTTP"
                        % (runs, worst * 1000))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reports", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--backend", choices=("sqlite", "postgresql", "both"), default="both")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="triage-bench-")
    try:
        for backend in (("sqlite", "postgresql") if args.backend == "both"
                        else (args.backend,)):
            rows = bench(backend, args.reports, args.runs, work)
            print("  %-36s %10s %10s" % ("request", "median ms", "max ms"))
            for name, median, worst in rows:
                print("  %-36s %10.1f %10.1f" % (name, median * 1000, worst * 1000),
                      flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
