#!/usr/bin/python3
"""Runs the performance suite under Wine and prints one table of ratios.

usage: run_bench.py <bin folder> [--sizes 16,256,1024] [--pipe-clients 1000] [--quick]
                    [--steps dump,archive,upload,handshake] [--work FOLDER] [--markdown FILE]

Every ratio compares the project's step with its baseline measured in the same run, on the
same file or process, interleaved so that drift of the machine touches both sides alike:
  dump      DumpWriter::WriteDump vs. a bare MiniDumpWriteDump of the same target process
  archive   ReportArchive::Build of the full dump vs. plain zlib deflate level 5 of it on one
            thread: time, and the size of what each wrote
  upload    HttpUploader::UploadFile of the archive vs. curl posting it to the same collector
  handshake CrashClient::Register against CrashPipeServer vs. against a bare pipe server
  collector uploads stored and indexed per second by the collector service vs. a bare
            application streaming bodies to files on the same server; processing a 1 GiB
            full dump vs. a 16 MiB one (time and peak memory); a backlog of real dumps
            processed by 1 and 2 workers
  triage    the triage pages and API over 100,000 reports on SQLite and PostgreSQL: each
            request's median time vs. the 300 ms goal
  memory    peak working set while handling the largest full dump vs. the same program idle
  start     an application's start with CrashReporting::Install vs. without it
  idle      the reporter left waiting beside a client: wake-ups per minute, private bytes and
            working set, idle and after one report, vs. a program that only waits
"""

import argparse
import os
import platform
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "collector"))
import collector_bench  # noqa: E402  the collector service's rows (Python only, no Wine)
import triage_bench  # noqa: E402

ROOT = os.path.dirname(HERE)
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
COLLECTOR = os.path.join(ROOT, "tests", "support", "reference_collector.py")
MIB = 1024 * 1024
# Repetitions per client size: full dumps of a large process take minutes under Wine.
DUMP_REPS = {16: 5, 256: 3, 1024: 1}
ARCHIVE_REPS = {16: 5, 256: 3, 1024: 2}
UPLOAD_REPS = {16: 5, 256: 3, 1024: 2}
STEPS = ("dump", "archive", "upload", "handshake", "start", "idle", "collector", "triage")
# A full dump is about the client's size plus Wine's own images; at most two exist at once,
# beside the archive and the collector's two copies of it.
FULL_DUMP_OVERHEAD = 40 * MIB
DISK_FACTOR = 3.2
DISK_RESERVE = 512 * MIB

sys.path.insert(0, os.path.join(HERE, "app"))
import idle_bench  # noqa: E402

# Each idle window; a quick run only checks that the figures come.
IDLE_SECONDS = 60
QUICK_IDLE_SECONDS = 5

# Proxy variables would send loopback requests elsewhere.
ENVIRONMENT = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    if n == 0:
        return float("nan")
    middle = n // 2
    return ordered[middle] if n % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def percentile(values, p):
    """Nearest-rank percentile: the smallest value with at least p% of values at or below."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def windows_path(linux_path):
    return "Z:" + linux_path.replace("/", "\\")


def linux_path(windows_path_text):
    return windows_path_text[2:].replace("\\", "/") if windows_path_text[:2].upper() == "Z:" \
        else windows_path_text


def run_wine(program, *arguments, timeout=3600):
    result = subprocess.run([WINE_RUN, program, *arguments], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            timeout=timeout, env=ENVIRONMENT)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (os.path.basename(program), result.returncode,
                                                    result.stdout))
    return result.stdout.splitlines()


class Results:
    def __init__(self):
        self.rows = []  # (step, size, project, baseline, unit, detail)

    def add(self, step, size, project, baseline, unit, detail=""):
        self.rows.append((step, size, project, baseline, unit, detail))

    def table(self):
        lines = ["| step | client | project | baseline | ratio | detail |",
                 "|---|---|---:|---:|---:|---|"]
        for step, size, project, baseline, unit, detail in self.rows:
            ratio = project / baseline if baseline else float("nan")
            lines.append("| %s | %s | %s | %s | %.2f | %s |" % (
                step, size, format_value(project, unit), format_value(baseline, unit), ratio,
                detail))
        return "\n".join(lines)


def format_value(value, unit):
    if unit == "s":
        return "%.3f s" % value
    if unit == "us":
        return "%.0f µs" % value
    if unit == "ms":
        return "%.1f ms" % value
    if unit == "MiB":
        return "%.1f MiB" % (value / MIB)
    if unit in ("/s", "MB/s"):
        return "%.1f %s" % (value, unit)
    if unit == "B":
        return "%d B" % value
    return str(value)


def size_label(mebibytes):
    return "%d GiB" % (mebibytes // 1024) if mebibytes % 1024 == 0 else "%d MiB" % mebibytes


def parse_samples(lines, fields):
    """Maps the leading words of "sample ..." lines (fields of them) to lists of
    (seconds, bytes)."""
    samples = {}
    for line in lines:
        words = line.split()
        if words and words[0] == "sample":
            key = tuple(words[1:1 + fields])
            samples.setdefault(key, []).append((float(words[1 + fields]),
                                                int(words[2 + fields])))
    return samples


def parse_tagged(lines, tag):
    return {w[1]: int(w[2]) for w in (line.split() for line in lines) if w and w[0] == tag}


def kept_path(lines):
    for line in lines:
        if line.startswith("kept "):
            return linux_path(line[5:].strip())
    raise RuntimeError("no file kept:\n" + "\n".join(lines))


def seconds_of(samples):
    return [s for s, _ in samples]


def bench_dump(bins, size, folder, reps, results, memory):
    lines = run_wine(os.path.join(bins, "DumpBench.exe"),
                     windows_path(os.path.join(bins, "BenchTarget.exe")), str(size),
                     windows_path(folder), str(reps), "keep")
    samples = parse_samples(lines, 2)
    peaks = parse_tagged(lines, "peak_ws")
    label = size_label(size)
    normal_w, normal_b = samples[("normal", "writer")], samples[("normal", "bare")]
    full_w, full_b = samples[("full", "writer")], samples[("full", "bare")]
    results.add("dump, normal (DumpWriter vs. MiniDumpWriteDump)", label,
                median(seconds_of(normal_w)), median(seconds_of(normal_b)), "s",
                "%d runs, %d B" % (len(normal_w), normal_w[-1][1]))
    results.add("dump, full memory (DumpWriter pair vs. one full MiniDumpWriteDump)", label,
                median(seconds_of(full_w)), median(seconds_of(full_b)), "s",
                "%d runs, %.1f MiB" % (len(full_w), full_b[-1][1] / MIB))
    results.add("dump, full memory (DumpWriter pair vs. bare normal + full)", label,
                median(seconds_of(full_w)),
                median(seconds_of(full_b)) + median(seconds_of(normal_b)), "s",
                "same runs")
    memory["dump"] = (peaks.get("writer_full", 0), peaks.get("idle", 0))
    return kept_path(lines)


def bench_bare_dump_memory(bins, size, folder):
    """Peak working set of a process whose first full dump is a bare MiniDumpWriteDump."""
    lines = run_wine(os.path.join(bins, "DumpBench.exe"),
                     windows_path(os.path.join(bins, "BenchTarget.exe")), str(size),
                     windows_path(folder), "1", "bare-first")
    peaks = parse_tagged(lines, "peak_ws")
    return peaks.get("bare_full", 0), peaks.get("idle", 0)


def bench_archive(bins, size, dump, folder, reps, results, memory):
    lines = run_wine(os.path.join(bins, "ArchiveBench.exe"), windows_path(dump),
                     windows_path(folder), str(reps), "keep")
    samples = parse_samples(lines, 1)
    peaks = parse_tagged(lines, "peak_ws")
    archive, deflate = samples[("archive",)], samples[("deflate",)]
    workers = next((int(w[1]) for w in (l.split() for l in lines)
                    if len(w) == 2 and w[0] == "workers"), 0)
    cpu = {}
    for words in (line.split() for line in lines):
        if len(words) == 3 and words[0] == "cpu":
            cpu.setdefault(words[1], []).append(float(words[2]))
    results.add("archive (ReportArchive::Build vs. zlib deflate level 5 on one thread)",
                size_label(size), median(seconds_of(archive)), median(seconds_of(deflate)), "s",
                "%d runs, %d workers, %.1f MiB dump → %.1f MiB; processor time %.1f s vs. "
                "%.1f s" % (len(archive), workers, os.path.getsize(dump) / MIB,
                            archive[-1][1] / MIB, median(cpu.get("archive", [])),
                            median(cpu.get("deflate", []))))
    # The archive adds its headers, central directory and comment to the deflate stream.
    archived, plain = archive[-1][1], deflate[-1][1]
    results.add("archive size (ReportArchive::Build vs. zlib deflate level 5 on one thread)",
                size_label(size), archived, plain, "B",
                "%+.3f %%" % (100.0 * (archived - plain) / plain if plain else 0.0))
    memory["archive"] = (peaks.get("archive", 0), peaks.get("idle", 0))
    return kept_path(lines)


class Collector:
    """The reference collector on 127.0.0.1, with a store of its own."""

    def __init__(self, store):
        self.store = store
        os.makedirs(store, exist_ok=True)
        self.process = subprocess.Popen(
            [sys.executable, COLLECTOR, "--store", store], stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", line)
        if not match:
            self.stop()
            raise RuntimeError("collector did not start: %r" % line)
        self.url = "http://127.0.0.1:%s/store-dump/" % match.group(1)

    def clear(self):
        for name in os.listdir(self.store):
            path = os.path.join(self.store, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def curl_upload(url, path):
    result = subprocess.run(
        ["curl", "-s", "-o", "/dev/null", "--noproxy", "*", "-w", "%{http_code} %{time_total}",
         "-F", "name=bench", "-F", "crashdump=@%s;type=application/octet-stream" % path, url],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, env=ENVIRONMENT,
        timeout=3600)
    code, seconds = result.stdout.split()
    if result.returncode != 0 or code != "200":
        raise RuntimeError("curl upload failed: %s %s" % (result.returncode, result.stdout))
    return float(seconds)


def bench_upload(bins, size, archive, collector, reps, results, memory):
    probe = subprocess.Popen([WINE_RUN, os.path.join(bins, "UploadBench.exe"), collector.url,
                              windows_path(archive), str(reps)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, env=ENVIRONMENT)
    lines = []

    def read_until(prefixes):
        while True:
            line = probe.stdout.readline()
            if not line:
                raise RuntimeError("UploadBench ended early:\n" + "".join(lines))
            lines.append(line)
            if line.startswith("error"):
                raise RuntimeError("UploadBench: " + line)
            if line.startswith(prefixes):
                return line

    def project_upload():
        probe.stdin.write("go\n")
        probe.stdin.flush()
        return float(read_until(("sample",)).split()[2])

    project, baseline = [], []
    try:
        read_until(("ready",))
        for i in range(reps):
            if i % 2 == 0:
                project.append(project_upload())
                collector.clear()
                baseline.append(curl_upload(collector.url, archive))
            else:
                baseline.append(curl_upload(collector.url, archive))
                collector.clear()
                project.append(project_upload())
            collector.clear()
        probe.stdin.close()
        lines.extend(probe.stdout.readlines())
    finally:
        if probe.wait(timeout=600) != 0:
            raise RuntimeError("UploadBench failed:\n" + "".join(lines))
    peaks = parse_tagged(lines, "peak_ws")
    results.add("upload (HttpUploader::UploadFile vs. curl)", size_label(size), median(project),
                median(baseline), "s",
                "%d runs, %.1f MiB archive" % (len(project), os.path.getsize(archive) / MIB))
    memory["upload"] = (peaks.get("end", 0), peaks.get("idle", 0))


def bench_pipe(bins, clients, folder, results, notes):
    tag = "%d" % os.getpid()
    pipes = {"project": "\\\\.\\pipe\\QV_CRASH_REPORT\\bench" + tag,
             "bare": "\\\\.\\pipe\\cr-bench-bare" + tag,
             "registering": "\\\\.\\pipe\\cr-bench-registering" + tag}
    server = subprocess.Popen([WINE_RUN, os.path.join(bins, "PipeBenchServer.exe"),
                               pipes["project"], pipes["bare"], pipes["registering"],
                               windows_path(folder)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, env=ENVIRONMENT)
    try:
        if server.stdout.readline().strip() != "listening":
            raise RuntimeError("PipeBenchServer did not start")
        idle = [server.stdout.readline(), server.stdout.readline()]
        client = subprocess.run([WINE_RUN, os.path.join(bins, "PipeBenchClient.exe"),
                                 str(clients), *("%s=%s" % item for item in pipes.items())],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, timeout=3600,
                                env=ENVIRONMENT)
        lines = client.stdout.splitlines()
        server.stdin.write("stats after\nquit\n")
        server.stdin.flush()
        after = [server.stdout.readline(), server.stdout.readline()]
    finally:
        try:
            server.wait(timeout=60)
        except subprocess.TimeoutExpired:
            server.kill()
    for words in (line.split() for line in lines):
        if words and words[0] == "stuck":
            raise RuntimeError("handshake: a registration with the %s server got neither a reply "
                               "nor a disconnect within 30 s (client %s)" % (words[1], words[2]))
        if words and words[0] == "failed" and words[2] != "0":
            notes.append("handshake: %s of %d registrations with the %s server failed" % (
                words[2], clients, words[1]))
    samples = {w[1]: [float(x) for x in w[2:]] for w in (l.split() for l in lines)
               if w and w[0] == "samples"}
    project, bare, registering = samples["project"], samples["bare"], samples["registering"]
    detail = "%d clients from one process" % len(project)
    for label, statistic in (("median", median), ("p99", lambda v: percentile(v, 99))):
        results.add("handshake %s (CrashPipeServer vs. bare pipe server)" % label, "—",
                    statistic(project), statistic(bare), "us", detail)
        results.add("handshake %s (CrashPipeServer vs. bare server doing the same "
                    "registration work)" % label, "—", statistic(project),
                    statistic(registering), "us", detail)
    tenth = max(1, len(project) // 10)
    results.add("handshake median, last vs. first tenth of clients (CrashPipeServer)", "—",
                median(project[-tenth:]), median(project[:tenth]), "us",
                "growth with registered clients")
    idle_peak = parse_tagged(idle, "peak_ws")["idle"]
    after_peak = parse_tagged(after, "peak_ws")["after"]
    return idle_peak, after_peak, len(project)


def bench_startup(bins, starts, folder, results):
    """Starts of one application with and without Install, interleaved: the time from
    CreateProcess until it is ready, and how long the Install call itself took."""
    lines = run_wine(os.path.join(bins, "StartupBench.exe"), str(starts),
                     free_loopback_url(), windows_path(folder))
    samples = {"with": [], "without": []}
    installs = []
    for words in (line.split() for line in lines):
        if words and words[0] == "sample":
            samples[words[1]].append(float(words[2]))
            if words[1] == "with":
                installs.append(float(words[3]))
    detail = "%d starts each; the Install call itself: median %.0f µs, p99 %.0f µs" % (
        len(installs), median(installs), percentile(installs, 99))
    for label, statistic in (("median", median), ("p99", lambda v: percentile(v, 99))):
        results.add("application start %s, with Install vs. without" % label, "—",
                    statistic(samples["with"]), statistic(samples["without"]), "us", detail)


def free_loopback_url():
    """Reports are not asked for at start; nothing need listen there."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d" % s.getsockname()[1]


def machine_facts():
    facts = []
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((l.split(":", 1)[1].strip() for l in cpuinfo if
                          l.startswith("model name")), "?")
    except OSError:
        model = "?"
    memory = "?"
    try:
        with open("/proc/meminfo") as meminfo:
            memory = "%.1f GiB" % (int(meminfo.readline().split()[1]) / MIB)
    except (OSError, ValueError, IndexError):
        pass
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], stdout=subprocess.PIPE, text=True,
                          stderr=subprocess.DEVNULL).stdout.strip()
    facts.append("CPU: %s, %d cores; RAM %s" % (model, os.cpu_count() or 0, memory))
    facts.append("OS: %s %s; %s" % (platform.system(), platform.release(), wine))
    return facts


def choose_sizes(sizes, work):
    free = shutil.disk_usage(work).free
    chosen, notes = [], []
    for size in sizes:
        need = DISK_FACTOR * (size * MIB + FULL_DUMP_OVERHEAD) + DISK_RESERVE
        fitted = size
        while need > free and fitted > 16:
            fitted //= 2
            need = DISK_FACTOR * (fitted * MIB + FULL_DUMP_OVERHEAD) + DISK_RESERVE
        if fitted != size:
            notes.append("%s scaled down to %s: %.1f GiB free in %s" % (
                size_label(size), size_label(fitted), free / (1024 * MIB), work))
        chosen.append(fitted)
    return chosen, notes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bins", help="the build's bin folder")
    parser.add_argument("--sizes", default="16,256,1024", help="client sizes in MiB")
    parser.add_argument("--pipe-clients", type=int, default=1000)
    parser.add_argument("--starts", type=int, default=100,
                        help="application starts with and without Install")
    parser.add_argument("--quick", action="store_true",
                        help="one run of each step (a smoke run, figures not meaningful)")
    parser.add_argument("--steps", default=",".join(STEPS),
                        help="steps to measure (the dumps that later steps need are always made)")
    parser.add_argument("--work", default=None, help="folder for dumps and archives")
    parser.add_argument("--markdown", default=None, help="also write the table to this file")
    args = parser.parse_args(argv)
    steps = set(args.steps.split(","))
    if not steps <= set(STEPS):
        parser.error("--steps takes some of " + ",".join(STEPS))
    bins = os.path.abspath(args.bins)
    work = tempfile.mkdtemp(prefix="cr-bench-", dir=args.work)
    started = time.time()
    results = Results()

    def results_of(step):
        return results if step in steps else Results()

    memory_rows = []
    sizes, notes = choose_sizes([int(s) for s in args.sizes.split(",")], work)
    failed = False
    try:
        collector = Collector(os.path.join(work, "store"))
        try:
            for size in sizes:
                folder = os.path.join(work, "%d" % size)
                os.makedirs(folder)
                reps = 1 if args.quick or "dump" not in steps else DUMP_REPS.get(size, 1)
                memory = {}
                dump = bench_dump(bins, size, folder, reps, results_of("dump"), memory)
                if steps & {"archive", "upload"}:
                    reps = 1 if args.quick or "archive" not in steps else ARCHIVE_REPS.get(size, 1)
                    archive = bench_archive(bins, size, dump, folder, reps,
                                            results_of("archive"), memory)
                os.remove(dump)
                if "upload" in steps:
                    reps = 1 if args.quick else UPLOAD_REPS.get(size, 1)
                    bench_upload(bins, size, archive, collector, reps, results, memory)
                shutil.rmtree(folder, ignore_errors=True)
                if size == max(sizes):
                    memory_rows.append((size, memory))
        finally:
            collector.stop()
        if "dump" in steps:
            bare_folder = os.path.join(work, "bare")
            os.makedirs(bare_folder)
            bare_size = min(sizes)
            bare_peak, bare_idle = bench_bare_dump_memory(bins, bare_size, bare_folder)
        if "handshake" in steps:
            pipe_folder = os.path.join(work, "pipe")
            os.makedirs(pipe_folder)
            idle_peak, after_peak, clients = bench_pipe(
                bins, 20 if args.quick else args.pipe_clients, pipe_folder, results, notes)
        if "start" in steps:
            start_folder = os.path.join(work, "start")
            os.makedirs(start_folder)
            bench_startup(bins, 5 if args.quick else args.starts, start_folder, results)
        if "idle" in steps:
            for step, project, baseline, unit, detail in idle_bench.bench_idle(
                    bins, QUICK_IDLE_SECONDS if args.quick else IDLE_SECONDS):
                results.add(step, "—", project, baseline, unit, detail)
        for size, memory in memory_rows:
            label = size_label(size)
            for step, program in (("dump", "DumpBench"), ("archive", "ArchiveBench"),
                                  ("upload", "UploadBench")):
                if step in steps:
                    handling, idle = memory[step]
                    results.add("peak working set, %s of the full dump vs. %s idle" % (
                        step, program), label, handling, idle, "MiB", "GetProcessMemoryInfo")
        if "dump" in steps:
            results.add("peak working set, bare MiniDumpWriteDump full dump vs. DumpBench idle",
                        size_label(bare_size), bare_peak, bare_idle, "MiB",
                        "the platform's share")
        if "handshake" in steps:
            results.add("peak working set, pipe bench server after %d registrations per server "
                        "vs. idle" % clients, "—", after_peak, idle_peak, "MiB",
                        "CrashPipeServer and the registering bare server together")
        if "collector" in steps:
            collector_bench.bench_collector(results, work, args.quick, bins=bins)
        if "triage" in steps:
            triage_bench.bench_triage(results, work, args.quick)
    except (RuntimeError, KeyError, subprocess.TimeoutExpired) as error:
        # The figures taken so far still print; the run counts as failed.
        notes.append("stopped early: %s" % str(error).strip().splitlines()[0])
        failed = True
    finally:
        shutil.rmtree(work, ignore_errors=True)

    facts = machine_facts()
    facts.append("run took %.0f s" % (time.time() - started))
    text = "\n".join(facts + notes + ["", results.table()])
    print(text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as out:
            out.write(text + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
