#!/usr/bin/python3
"""The reporter's idle cost under Wine, against a program that only waits, in the same run.

usage: idle_bench.py <bin folder> [--seconds 60]

The reporter runs beside every instance of an application all day, so what it costs while
nothing happens matters. IdleClient.exe starts the real reporter as an application does and
registers; IdleWaiter.exe only waits. Both are measured over the same window, from the Linux
side of their Wine processes (Wine reports no private bytes of its own, see docs/wine.md):

  wake-ups       context switches of all the process's threads (voluntary and involuntary,
                 /proc/PID/task/*/status), per minute
  private bytes  RssAnon of /proc/PID/status: the process's own anonymous memory
  working set    VmRSS of /proc/PID/status

Once with the reporter idle after the registration, and again after one report (dump,
archive, upload to the reference collector on 127.0.0.1).

In the same idle window, the cost of the hang watchdog: IdleWindowApp.exe, an application
with a window and crash reporting, with the watchdog on against the same with it off, in
wake-ups per minute and CPU time per minute (utime + stime of /proc/PID/stat).
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))
from run_pipeline_bench import ENVIRONMENT, WINE_RUN, start_collector, windows_path  # noqa: E402
from wine_harness import linux_pid  # noqa: E402

# The reporter waits 16 s for its first client with a time-out before it waits for good:
# idle is measured after that.
FIRST_CLIENT_WAIT_SECONDS = 17
SETTLE_SECONDS = 3
KIB = 1024


def process_of(program, tag):
    pid = linux_pid(program, tag)
    if pid is None:
        raise RuntimeError("no process of %s %s" % (program, tag))
    return pid


def context_switches(pid):
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def cpu_milliseconds(pid):
    """User and system time of all of a Linux process's threads so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000.0 / os.sysconf("SC_CLK_TCK")


def memory(pid):
    """(private bytes, working set) of a Linux process."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("RssAnon", "VmRSS"):
                fields[name] = int(value.split()[0]) * KIB
    return fields["RssAnon"], fields["VmRSS"]


def wakeups_per_minute(pids, seconds, cpu=None):
    """Wake-ups per minute of each process over seconds; with a dict for cpu, their CPU
    milliseconds per minute over the same window go there."""
    before = {name: context_switches(pid) for name, pid in pids.items()}
    cpu_before = {name: cpu_milliseconds(pid) for name, pid in pids.items()}
    time.sleep(seconds)
    after = {name: context_switches(pid) for name, pid in pids.items()}
    if cpu is not None:
        cpu.update({name: (cpu_milliseconds(pid) - cpu_before[name]) * 60.0 / seconds
                    for name, pid in pids.items()})
    return {name: (after[name] - before[name]) * 60.0 / seconds for name in pids}


def read_line(process):
    line = process.stdout.readline()
    if not line:
        raise RuntimeError("%s ended early" % process.args[1])
    return line.strip()


def bench_idle(bins, seconds):
    """Rows (step, project, baseline, unit, detail): reporter vs. the waiting program."""
    work = tempfile.mkdtemp(prefix="cr-idle-")
    tag = "Idle%d" % os.getpid()
    collector, host = start_collector(os.path.join(work, "store"))
    waiter = client = None
    apps = []
    try:
        dumps = os.path.join(work, "dumps")
        os.makedirs(dumps)
        waiter = subprocess.Popen([WINE_RUN, os.path.join(bins, "IdleWaiter.exe"), tag],
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=ENVIRONMENT)
        client = subprocess.Popen(
            [WINE_RUN, os.path.join(bins, "IdleClient.exe"),
             windows_path(os.path.join(bins, "RIZurarUzedudor.exe")), tag, host,
             windows_path(dumps)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, env=ENVIRONMENT)
        if not read_line(client).startswith("ready "):
            raise RuntimeError("idle: the reporter did not start")
        for watching in ("on", "off"):
            app = subprocess.Popen(
                [WINE_RUN, os.path.join(bins, "IdleWindowApp.exe"), tag + watching,
                 windows_path(os.path.join(bins, "RIZurarUzedudor.exe")), host,
                 windows_path(dumps), watching],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True, env=ENVIRONMENT)
            apps.append(app)
            if read_line(app) != "ready":
                raise RuntimeError("idle: the application with a window did not start")
        pids = {"reporter": process_of("RIZurarUzedudor.exe", tag),
                "waiter": process_of("IdleWaiter.exe", tag),
                "watching": process_of("IdleWindowApp.exe", tag + "on"),
                "not watching": process_of("IdleWindowApp.exe", tag + "off")}
        rows = []

        def measure(phase):
            time.sleep(SETTLE_SECONDS)
            cpu = {}
            wakeups = wakeups_per_minute(pids, seconds, cpu)
            figures = {name: memory(pid) for name, pid in pids.items()}
            detail = "%d s window" % seconds
            rows.append(("idle wake-ups per minute, %s (reporter vs. a program that only "
                         "waits)" % phase, round(wakeups["reporter"]), round(wakeups["waiter"]),
                         "/min", detail + ", context switches of all threads"))
            rows.append(("private bytes, %s (reporter vs. a program that only waits)" % phase,
                         figures["reporter"][0], figures["waiter"][0], "MiB", "RssAnon"))
            rows.append(("working set, %s (reporter vs. a program that only waits)" % phase,
                         figures["reporter"][1], figures["waiter"][1], "MiB", "VmRSS"))
            if phase == "idle":
                rows.append(("idle wake-ups per minute, application with a window (hang "
                             "watchdog on vs. off)", round(wakeups["watching"]),
                             round(wakeups["not watching"]), "/min",
                             detail + ", context switches of all threads"))
                rows.append(("idle CPU time per minute, application with a window (hang "
                             "watchdog on vs. off)", round(cpu["watching"]),
                             round(cpu["not watching"]), "ms/min", detail + ", utime + stime"))

        time.sleep(FIRST_CLIENT_WAIT_SECONDS)
        measure("idle")
        client.stdin.write("dump\n")
        client.stdin.flush()
        result = read_line(client)
        if result != "dump Done":
            raise RuntimeError("idle: the report failed: " + result)
        measure("after one report")
        return rows
    finally:
        for process in [client, waiter] + apps:
            if process is not None:
                process.stdin.close()
                try:
                    process.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    process.kill()
        collector.terminate()
        collector.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bins", help="the build's bin folder")
    parser.add_argument("--seconds", type=int, default=60, help="length of each window")
    args = parser.parse_args()
    for step, project, baseline, unit, detail in bench_idle(os.path.abspath(args.bins),
                                                             args.seconds):
        scale = 1024 * 1024 if unit == "MiB" else 1
        print("%s: %.1f vs. %.1f %s (%s)" % (step, project / scale, baseline / scale, unit,
                                            detail))


if __name__ == "__main__":
    main()
