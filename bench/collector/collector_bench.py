#!/usr/bin/python3
"""The collector service's figures, for the benchmark table:
  throughput  uploads answered (stored durably and indexed) per second and MB/s by the
              collector on SQLite and on PostgreSQL, against a bare application on the same
              server that only streams each body to a file, and the same app flushing each
              body to disk, rounds of all interleaved in one run
  backlog     a backlog of real reports (the demo's archives of three crash kinds, written
              by the reporter under Wine; synthetic dumps where no build is given) processed
              by 1 and by 2 worker processes on PostgreSQL, with the build's and the
              system's modules uploaded as symbols: reports per second and peak memory
              per worker
  processing  unpacking and reading a 1 GiB full dump against a small one: time, and peak
              memory of the processing process (flat when it streams)

usage: collector_bench.py [--quick] [--bins build/x64/bin] [--backlog N]
                          [--steps throughput,backlog,processing]   (prints its rows)
"""

import argparse
import http.client
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SERVICE = os.path.join(ROOT, "collector", "service.py")
BARE = os.path.join(HERE, "bare_store.py")
sys.path.insert(0, os.path.join(ROOT, "tests", "collector"))
sys.path.insert(0, os.path.join(ROOT, "collector"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import demo  # noqa: E402  runs the demo under Wine for the backlog's real reports
import minidump_builder as mb  # noqa: E402
import postgres  # noqa: E402

MIB = 1 << 20
THREADS = 8
CLIENTS = 8
# A normal dump's archive from the demo is about 8 KiB; 1 MiB stands for larger reports.
UPLOAD_SIZES = {8 << 10: 500, 1 * MIB: 200}
ROUNDS = 3
ZIP_OVERHEAD = 300  # local and central headers of two entries
BIG_DUMP = 1 << 30
SMALL_DUMP = 16 * MIB
MEMORY64_LIST = 9
BOUNDARY = "-" * 27 + "0123456789ABCDEF"
BACKLOG = 1000
BACKLOG_CRASHES = [(0xC0000005, 0x00401234), (0xC0000094, 0x00402000), (0xC00000FD, 0x00403000)]
BACKLOG_DEMO_CRASHES = ("null-write", "divide-by-zero", "stack-overflow")
BACKLOG_SECONDS = 3600
SYMBOL_TOKEN = "backlog-bench-symbols"
BENCH_STEPS = ("throughput", "backlog", "processing")


def start(command):
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", process.stdout.readline())
    if not match:
        process.kill()
        raise RuntimeError("%s did not start" % command[1])
    return process, int(match.group(1))


def stop(process):
    process.terminate()
    process.wait(30)
    process.stdout.close()


def body_of(archive):
    b = BOUNDARY.encode()
    return (b"--" + b + b'\r\nContent-Disposition: form-data; name="name"\r\n\r\nBench\r\n--' +
            b + b'\r\nContent-Disposition: form-data; name="crashdump"; filename="b.zip"\r\n'
            b"Content-Type: application/octet-stream\r\n\r\n" + archive + b"\r\n--" + b +
            b"--\r\n")


def post_many(port, body, count, clients):
    """Seconds for count uploads from clients concurrent connections (one request each)."""
    left = iter(range(count))
    lock, failures = threading.Lock(), []

    def client():
        while True:
            with lock:
                if next(left, None) is None:
                    return
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            connection.request("POST", "/store-dump/", body=body, headers={
                "Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
            response = connection.getresponse()
            response.read()
            connection.close()
            if response.status != 200:
                failures.append(response.status)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    began = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise RuntimeError("uploads failed: %r" % failures[:5])
    return time.perf_counter() - began


def throughput(work, quick, upload_bytes, count, database):
    """Best uploads/s and MB/s of each side over interleaved rounds: the collector on SQLite
    and on PostgreSQL (receiving only: processing runs in workers of its own), the bare app,
    and the bare app that flushes each body."""
    archive_path = os.path.join(work, "bench.zip")
    with zipfile.ZipFile(archive_path, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("b.dmp", mb.sample_dump())
        archive.writestr("pad.bin", os.urandom(max(0, upload_bytes - ZIP_OVERHEAD -
                                                   len(mb.sample_dump()))))
    with open(archive_path, "rb") as f:
        body = body_of(f.read())
    count = 20 if quick else count
    service = [sys.executable, SERVICE, "--threads", str(THREADS), "--workers", "0"]
    commands = {
        "sqlite": service + ["--store", os.path.join(work, "sqlite-%d" % upload_bytes)],
        "postgresql": service + ["--store", os.path.join(work, "pg-%d" % upload_bytes),
                                 "--database", database],
        "bare": [sys.executable, BARE, os.path.join(work, "bare-%d" % upload_bytes),
                 str(THREADS)],
        "bare-fsync": [sys.executable, BARE, os.path.join(work, "fsync-%d" % upload_bytes),
                       str(THREADS), "--fsync"]}
    servers = {}
    times = {side: [] for side in commands}
    try:
        for side, command in commands.items():
            servers[side] = start(command)
        for _ in range(1 if quick else ROUNDS):
            for side, (_, port) in servers.items():
                times[side].append(post_many(port, body, count, CLIENTS))
    finally:
        for process, _ in servers.values():
            stop(process)
    best = {side: min(values) for side, values in times.items()}
    return {side: (count / seconds, count * len(body) / 1e6 / seconds)
            for side, seconds in best.items()}, count, len(body)


def write_full_dump_zip(path, memory_bytes):
    """A ZIP holding a full dump: the sample dump's streams, then a memory list of
    memory_bytes read from one range, streamed into the archive."""
    builder = mb.Builder().system_info().modules(
        [("C:\\App\\app.exe", 0x00400000, 0x10000, (1, 0, 0, 0))]).threads([1]).exception(
        1, 0xC0000005, 0x00401234, [1, 0])
    head_without = builder.bytes()
    # The memory list stream is the last directory entry; its data follow at the end.
    builder.add(MEMORY64_LIST, lambda offset: struct.pack("<QQQQ", 1, offset + 32, 0x10000000,
                                                          memory_bytes))
    head = builder.bytes()
    assert len(head) > len(head_without)
    pattern = bytes(range(256)) * 4096
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        with archive.open("big-full.dmp", "w", force_zip64=True) as out:
            out.write(head)
            left = memory_bytes
            while left:
                out.write(pattern[:min(left, len(pattern))])
                left -= min(left, len(pattern))


PROCESS_ONE = r"""
import json, os, resource, sys, time
sys.path.insert(0, sys.argv[1])
from crashinbox.archive import Limits
from crashinbox.processing import process_upload
from crashinbox.stack import Debugger
from crashinbox.store import Store
from crashinbox.symbols import SymbolStore
store = Store(sys.argv[2])
began = time.perf_counter()
outcome = process_upload(store, sys.argv[3], store.attempt_files(sys.argv[3], "bench"),
                         SymbolStore(os.path.join(sys.argv[2], "symbols")),
                         Limits(max_ratio=1 << 20, max_total=4 << 30), Debugger())
seconds = time.perf_counter() - began
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
lldb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "peak": peak, "lldb_peak": lldb,
                  "processed": outcome.processed, "reason": outcome.reason}))
"""


def processing(work, memory_bytes):
    """Processing of one uploaded full dump in a fresh process: time and peak memory."""
    store = os.path.join(work, "proc-%d" % memory_bytes)
    upload = os.path.join(store, "uploads", "big")
    os.makedirs(upload)
    write_full_dump_zip(os.path.join(upload, "upload.bin"), memory_bytes)
    done = subprocess.run([sys.executable, "-c", PROCESS_ONE, os.path.join(ROOT, "collector"),
                           store, "big"], capture_output=True, text=True,
                          timeout=3600)
    shutil.rmtree(store, ignore_errors=True)
    if done.returncode != 0:
        raise RuntimeError("processing the full dump failed: %s" % done.stderr.strip())
    figures = json.loads(done.stdout)
    if not figures["processed"]:
        raise RuntimeError("the full dump was not processed: %s" % figures["reason"])
    return figures


def bench_collector(results, work, quick=False, backlog_count=0, bins=None,
                    steps=BENCH_STEPS):
    """Adds the collector's rows to a run_bench Results table. With bins (a build's bin
    folder, Wine ready), the backlog is of real reports."""
    database = postgres.server()
    if "throughput" in steps:
        bench_throughput(results, work, quick, database)
    if "backlog" in steps:
        bench_backlog(results, work, backlog_count or (40 if quick else BACKLOG), database,
                      bins)
    if "processing" in steps:
        bench_processing(results, work, quick)


def bench_throughput(results, work, quick, database):
    for upload_bytes, uploads in UPLOAD_SIZES.items():
        rates, count, size = throughput(work, quick, upload_bytes, uploads,
                                        database.database("throughput-%d" % upload_bytes))
        detail = "%d uploads, %d clients, Waitress %d threads, best of %d rounds" % (
            count, CLIENTS, THREADS, 1 if quick else ROUNDS)
        label = "%d KiB upload" % round(size / 1024)
        for index in ("sqlite", "postgresql"):
            name = "SQLite" if index == "sqlite" else "PostgreSQL"
            results.add("collector uploads per second stored and indexed, %s (vs. bare "
                        "streaming app)" % name, label, rates[index][0], rates["bare"][0],
                        "/s", detail)
            results.add("collector uploads per second stored and indexed, %s (vs. bare app "
                        "that fsyncs each body)" % name, label, rates[index][0],
                        rates["bare-fsync"][0], "/s", detail)
        results.add("collector MB/s stored and indexed, SQLite (vs. bare streaming app)",
                    label, rates["sqlite"][1], rates["bare"][1], "MB/s", detail)


def bench_backlog(results, work, count, database, bins):
    if bins:
        build_dir = os.path.dirname(os.path.abspath(bins))
        bodies = real_reports(build_dir, work)
        symbols = [bins, demo.system_modules(build_dir, os.path.join(work, "system-modules"))]
        what = "real reports of %d crash kinds, symbols uploaded" % len(bodies)
    else:
        bodies = [body_of(mb.sample_dump(code, address)) for code, address in BACKLOG_CRASHES]
        symbols, what = [], "synthetic dumps, no symbols"
    for workers, figures in backlog(work, count, database, bodies, symbols).items():
        results.add("collector backlog of %d reports, reports per second, %d worker(s) (vs. 1)"
                    % (figures["count"], workers), "%d worker(s)" % workers,
                    figures["rate"], figures["one"], "/s",
                    "PostgreSQL, one process per worker, lldb on each dump; " + what)
        results.add("collector backlog, peak memory per worker, %d worker(s) (vs. 1)"
                    % workers, "%d worker(s)" % workers, figures["peak"], figures["one_peak"],
                    "MiB", "VmHWM of each worker process, lldb's own not counted")


def bench_processing(results, work, quick):
    big = BIG_DUMP // (16 if quick else 1)
    small = processing(work, SMALL_DUMP)
    large = processing(work, big)
    label = "%d MiB" % (big // MIB)
    results.add("collector processing time, full dump vs. %d MiB full dump"
                % (SMALL_DUMP // MIB), label, large["seconds"], small["seconds"], "s",
                "unpack (inflate to disk), read, lldb; a dump built in Python, one memory range")
    results.add("collector processing peak memory, full dump vs. %d MiB full dump"
                % (SMALL_DUMP // MIB), label, large["peak"], small["peak"], "MiB",
                "flat when it streams; lldb's own peak %.0f MiB" % (large["lldb_peak"] / MIB))


def peak_memory(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def real_reports(build_dir, work):
    """Upload bodies of the reports the demo makes of a few crash kinds: dumps and
    screenshots written by the reporter under Wine, as a team's collector receives them."""
    bodies = []
    for kind in BACKLOG_DEMO_CRASHES:
        result = demo.run_demo(build_dir, os.path.join(work, "demo-" + kind), crash=kind,
                               name="Backlog")
        if not result["uploads"]:
            raise RuntimeError("the demo's %s crash gave no report" % kind)
        with open(result["uploads"][0]["file"], "rb") as f:
            bodies.append(body_of(f.read()))
    return bodies


def backlog(work, count, database, bodies, symbols):
    """Processing of a backlog of uploads (bodies in turn) by 1 and by 2 worker processes on
    PostgreSQL: {workers: {"count", "rate", "peak", "one", "one_peak"}}; the same backlog,
    queued again."""
    import psycopg2
    url = database.database("backlog")
    store = os.path.join(work, "backlog")
    collector, port = start([sys.executable, SERVICE, "--store", store, "--database", url,
                             "--workers", "0", "--symbol-token", SYMBOL_TOKEN])
    try:
        for folder in symbols:
            subprocess.run([sys.executable, SERVICE, "upload-symbols", folder,
                            "http://127.0.0.1:%d" % port, "--symbol-token", SYMBOL_TOKEN],
                           check=True, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=600)
        for n in range(count):
            post_many(port, bodies[n % len(bodies)], 1, 1)
    finally:
        stop(collector)
    connection = psycopg2.connect(url)
    connection.autocommit = True
    results = {}
    for workers in (1, 2):
        with connection.cursor() as cursor:
            cursor.execute("UPDATE reports SET state='received', attempts=0, lease_until=NULL, "
                           "claim=NULL, signature=NULL")
        began = time.perf_counter()
        processes = [subprocess.Popen([sys.executable, SERVICE, "work", "--store", store,
                                       "--database", url, "--workers", "1"],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
                     for _ in range(workers)]
        try:
            while True:
                with connection.cursor() as cursor:
                    cursor.execute("SELECT COUNT(*) FROM reports WHERE state='received'")
                    if cursor.fetchone()[0] == 0:
                        break
                if time.perf_counter() - began > BACKLOG_SECONDS:
                    raise RuntimeError("the backlog was not processed in time")
                time.sleep(0.05)
            seconds = time.perf_counter() - began
            peak = max(peak_memory(p.pid) for p in processes)
            with connection.cursor() as cursor:
                cursor.execute("SELECT COUNT(*) FROM reports WHERE state='processed' AND "
                               "signature IS NOT NULL")
                named = cursor.fetchone()[0]
        finally:
            for process in processes:
                stop(process)
        if named != count:
            raise RuntimeError("the backlog's %d reports gave %d signatures" % (count, named))
        results[workers] = {"count": count, "rate": count / seconds, "peak": peak}
    connection.close()
    for figures in results.values():
        figures["one"], figures["one_peak"] = results[1]["rate"], results[1]["peak"]
    return results


class Table:
    def __init__(self):
        self.rows = []

    def add(self, *row):
        self.rows.append(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer uploads, a 64 MiB dump")
    parser.add_argument("--backlog", type=int, default=0,
                        help="dumps in the backlog (default: %d, 40 with --quick)" % BACKLOG)
    parser.add_argument("--bins", help="a build's bin folder: the backlog is of the demo's "
                        "real reports (run under scripts/wine-run.sh's Wine)")
    parser.add_argument("--steps", default=",".join(BENCH_STEPS),
                        help="some of " + ",".join(BENCH_STEPS))
    args = parser.parse_args()
    steps = set(args.steps.split(","))
    if not steps <= set(BENCH_STEPS):
        parser.error("--steps takes some of " + ",".join(BENCH_STEPS))
    work = tempfile.mkdtemp(prefix="collector-bench-")
    try:
        table = Table()
        bench_collector(table, work, args.quick, args.backlog, args.bins, steps)
        for step, size, project, baseline, unit, detail in table.rows:
            print("%s | %s | %.3f %s | %.3f %s | %.2f | %s" % (
                step, size, project / (MIB if unit == "MiB" else 1), unit,
                baseline / (MIB if unit == "MiB" else 1), unit, project / baseline, detail))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
