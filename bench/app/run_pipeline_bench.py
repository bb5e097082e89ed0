#!/usr/bin/python3
"""The crash report pipeline's time under Wine: what a crashed client waits, and its split.

usage: run_pipeline_bench.py <bin folder> [--rounds 3] [--mib 16]

  end to end  AppClient.exe asks the real reporter for a dump and waits for dump-done
              (its own process is the client: a tiny one)
  split       PipelineBench.exe runs the same steps on a BenchTarget.exe of --mib MiB:
              dump, capture, archive, upload, scan

Both upload to the reference collector on 127.0.0.1 and scan through the replacement
diagnostic library placed beside the program as libjxdiag.dll. Medians are printed.
"""

import argparse
import os
import queue
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
COLLECTOR = os.path.join(ROOT, "tests", "support", "reference_collector.py")
ENVIRONMENT = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
STEPS = ["dump", "capture", "archive", "upload", "scan", "total"]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def start_collector(store):
    process = subprocess.Popen([sys.executable, COLLECTOR, "--port", "0", "--store", store,
                                "--max-seconds", "3600"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", process.stdout.readline())
    if not match:
        raise RuntimeError("collector did not start")
    return process, "http://127.0.0.1:%s" % match.group(1)


def end_to_end(folder, host, dump_type, server):
    client = subprocess.Popen(
        [WINE_RUN, os.path.join(folder, "AppClient.exe"), "launch",
         windows_path(os.path.join(folder, "RIZurarUzedudor.exe")), server, host, "dumps"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        env=ENVIRONMENT, bufsize=1)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l.strip()) for l in client.stdout],
                     daemon=True).start()

    def ask(command):
        if command:
            client.stdin.write(command + "\n")
            client.stdin.flush()
        return lines.get(timeout=600)

    try:
        if not ask(None).startswith("launch 1"):
            raise RuntimeError("reporter did not start")
        ask(None)  # the pipe name
        ask("window")
        if ask("register %d" % dump_type) != "register 1":
            raise RuntimeError("registration failed")
        answer = ask("dump").split()
        if answer[1] != "Done":
            raise RuntimeError("dump: %r" % answer)
        return int(answer[2]) / 1000.0
    finally:
        client.stdin.write("exit\n")
        client.stdin.flush()
        client.wait(60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mib", type=int, default=16)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="pipeline-bench-")
    collector, host = start_collector(os.path.join(work, "store"))
    try:
        for name in ("RIZurarUzedudor.exe", "AppClient.exe", "PipelineBench.exe",
                     "BenchTarget.exe"):
            shutil.copy(os.path.join(options.bin, name), work)
        shutil.copy(os.path.join(options.bin, "ReplacementDiag.dll"),
                    os.path.join(work, "libjxdiag.dll"))
        os.makedirs(os.path.join(work, "dumps"))
        os.makedirs(os.path.join(work, "split"))

        waits = {}
        for dump_type, label in ((0, "normal"), (2, "full")):
            waits[label] = [end_to_end(work, host, dump_type, "Bench%d%d" % (dump_type, r))
                            for r in range(options.rounds)]

        done = subprocess.run(
            [WINE_RUN, os.path.join(work, "PipelineBench.exe"),
             windows_path(os.path.join(work, "BenchTarget.exe")), str(options.mib), host,
             windows_path(os.path.join(work, "split")), str(options.rounds)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, env=ENVIRONMENT, timeout=3600)
        splits = {"normal": [], "full": []}
        for line in done.stdout.splitlines():
            words = line.split()
            if words and words[0] == "split":
                values = dict(zip(words[2::2], words[3::2]))
                splits[words[1]].append(values)
        if not splits["normal"] or not splits["full"]:
            raise RuntimeError("PipelineBench printed %r" % done.stdout)

        print("crash report pipeline under Wine, medians of %d rounds, seconds" % options.rounds)
        print("end to end: a tiny client's wait; the split: a %d MiB client" % options.mib)
        print("%-7s %10s %s %14s" % ("type", "end2end", " ".join("%8s" % s for s in STEPS),
                                      "archive bytes"))
        for label in ("normal", "full"):
            row = " ".join("%8.3f" % statistics.median(float(v[s]) for v in splits[label])
                           for s in STEPS)
            size = statistics.median(int(v["bytes"]) for v in splits[label])
            print("%-7s %10.3f %s %14d" % (label, statistics.median(waits[label]), row, size))
        print("uploaded %s, scanned %s" % (splits["full"][-1]["uploaded"],
                                           splits["full"][-1]["scanned"]))
    finally:
        collector.terminate()
        collector.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
