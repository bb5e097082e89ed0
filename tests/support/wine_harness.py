"""Pieces shared by the test drivers that run Windows programs under Wine against the
reference collector on 127.0.0.1."""

import glob
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import time

LINE_TIMEOUT = 120


def linux_pid(program, first_argument):
    """The Linux process of the Windows program whose first argument is first_argument (Wine
    shows a program's Windows command line as its Linux one), or None."""
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(cmdline, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if (len(words) > 1 and words[0].endswith(program.encode()) and
                words[1] == first_argument.encode()):
            return int(cmdline.split("/")[2])
    return None


def windows_path(linux_path):
    return "Z:" + linux_path.replace("/", "\\")


def free_port_url():
    """A loopback URL on which nothing listens: every connection is refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d" % s.getsockname()[1]


class Collector:
    def __init__(self, script, store, mode="ok", delay=2):
        self.store = store
        self.process = subprocess.Popen(
            [sys.executable, script, "--port", "0", "--store", store, "--mode", mode,
             "--delay", str(delay), "--max-seconds", "900"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", self.process.stdout.readline())
        if not match:
            self.stop()
            raise RuntimeError("collector did not start")
        self.host = "http://127.0.0.1:%s" % match.group(1)

    def uploads(self):
        """Uploads stored completely (the collector writes file.bin last of its parts)."""
        if not os.path.isdir(self.store):
            return []
        return sorted(n for n in os.listdir(self.store)
                      if os.path.exists(os.path.join(self.store, n, "fields.json")))

    def wait_for_uploads(self, count, seconds=30):
        deadline = time.monotonic() + seconds
        while len(self.uploads()) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.uploads()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stdout.close()


class Program:
    """A Windows test program under Wine, one command and one answer line at a time."""

    def __init__(self, wine_run, program, arguments, environment):
        self.process = subprocess.Popen(
            [wine_run, program] + arguments,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, env=environment, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self.pump, daemon=True).start()

    def pump(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    def read(self, timeout=LINE_TIMEOUT):
        line = self.lines.get(timeout=timeout)
        if line is None:
            raise AssertionError("program ended")
        return line

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def ask(self, command, timeout=LINE_TIMEOUT):
        self.send(command)
        return self.read(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("exit")
                self.process.wait(20)
            except (OSError, subprocess.TimeoutExpired):
                self.kill()
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except OSError:
                pass
