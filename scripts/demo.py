#!/usr/bin/python3
"""Runs the crash demo end to end and shows what the collector received.

Starts the collector service on a free loopback port (the build's bin folder uploaded as its
symbols), runs CrashDemo.exe under Wine (it starts the reporter beside it, shows a window and crashes), waits
for the demo and the reporter to end, then prints the archive's entries, the exception read
back from the dump inside it, where the files are and the address of the crash's page. Every
process it starts is gone when it returns, unless --serve keeps the collector up for a browser.

    demo.py <build dir> [--work DIR] [--full-memory] [--name NAME] [--crash KIND]

--crash picks how the demo crashes (null-write by default); --crash list lists the kinds.
"""

import argparse
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import urllib.request
import uuid
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COLLECTOR = os.path.join(ROOT, "tests", "support", "reference_collector.py")
SERVICE = os.path.join(ROOT, "collector", "service.py")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
sys.path.insert(0, os.path.join(ROOT, "tests", "dump"))
sys.path.insert(0, os.path.join(ROOT, "collector"))
from crashinbox.signature import hang_signature  # noqa: E402  the collector's own choice
from read_dumps_independently import (  # noqa: E402  the project's own stream-directory reader
    ACCESS_VIOLATION, EXCEPTION_STREAM, MEMORY64_LIST_STREAM, streams)

REPORTER = "RIZurarUzedudor.exe"
COLLECTOR_START_SECONDS = 20
COLLECTOR_MAX_SECONDS = 600   # the collector ends by itself even if this script is killed
DEMO_SECONDS = 180            # a full-memory dump, the upload and the scan fit well within
REPORTER_EXIT_SECONDS = 60    # the reporter ends once it has seen the demo go
STORED_SECONDS = 30
EXCEPTION_NAMES = {ACCESS_VIOLATION: "access violation"}
ANNOTATION_STREAM = 0x47670003
ANNOTATION_ENTRY = 256
DEFAULT_CRASH = "null-write"
APPLICATION_HANG = 0xE048414E
# The system's modules a waiting thread's stack goes through. A team's collector has them from
# the system's symbol server; under Wine they are files of the prefix, uploaded like the
# build's own so that lldb can unwind through them.
SYSTEM_MODULES = ("ntdll.dll", "kernelbase.dll", "kernel32.dll", "user32.dll", "win32u.dll")
PE_MACHINE_X64 = 0x8664
ACCESS_KINDS = {0: "read", 1: "write", 8: "execute"}


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def start_listening(command, stderr=None):
    """A collector started by command, once it says where it listens: (process, port)."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=stderr, text=True)
    ready, _, _ = select.select([process.stdout], [], [], COLLECTOR_START_SECONDS)
    line = process.stdout.readline() if ready else ""
    match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", line)
    if not match:
        stop_child(process)
        raise RuntimeError("the collector did not start: %r" % line)
    return process, int(match.group(1))


def stop_child(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    process.stdout.close()


class Collector:
    """The reference collector as a child process on 127.0.0.1 and a free port."""

    def __init__(self, store):
        self.store = store
        self.process, self.port = start_listening(
            [sys.executable, COLLECTOR, "--host", "127.0.0.1", "--port", "0", "--store", store,
             "--max-seconds", str(COLLECTOR_MAX_SECONDS)])
        self.host = "http://127.0.0.1:%d" % self.port

    def events(self, kind):
        try:
            with open(os.path.join(self.store, "events.jsonl"), encoding="utf-8") as log:
                # A line still being written has no line end yet.
                return [e for e in map(json.loads, (l for l in log if l.endswith("\n")))
                        if e["event"] == kind]
        except FileNotFoundError:
            return []

    def wait_until_stored(self, count, seconds):
        """True once count uploads have been stored whole (or refused), within seconds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if len(self.events("stored")) >= count:
                return True
            time.sleep(0.05)
        return False

    def uploads(self):
        return sorted(os.path.join(self.store, n) for n in os.listdir(self.store)
                      if os.path.isdir(os.path.join(self.store, n)))

    def stop(self):
        stop_child(self.process)


class Inbox:
    """The collector service as a child process on 127.0.0.1 and a free port. The module
    files of a symbols folder reach it the way a team's build uploads them."""

    def __init__(self, store, symbols=None, max_seconds=COLLECTOR_MAX_SECONDS, options=()):
        self.store = store
        self.symbol_token = uuid.uuid4().hex
        command = [sys.executable, SERVICE, "--port", "0", "--store", store,
                   "--max-seconds", str(max_seconds), "--symbol-token", self.symbol_token,
                   *options]
        self.process, self.port = start_listening(command, stderr=subprocess.DEVNULL)
        self.host = "http://127.0.0.1:%d" % self.port
        if symbols:
            try:
                self.upload_symbols(symbols)
            except BaseException:
                self.stop()
                raise

    def upload_symbols(self, folder):
        done = subprocess.run([sys.executable, SERVICE, "upload-symbols", folder, self.host,
                               "--symbol-token", self.symbol_token],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=COLLECTOR_MAX_SECONDS)
        if done.returncode != 0:
            raise RuntimeError("uploading the symbols failed: %s" % done.stdout[-2000:])

    def api(self, path):
        with urllib.request.urlopen(self.host + path, timeout=30) as answer:
            return json.load(answer)

    def wait_until_stored(self, count, seconds):
        """True once count uploads have been stored and processed, within seconds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            status = self.api("/api/status")
            if status.get("processed", 0) + status.get("unprocessed", 0) >= count:
                return True
            time.sleep(0.1)
        return False

    def uploads(self):
        folder = os.path.join(self.store, "uploads")
        return sorted(os.path.join(folder, n) for n in os.listdir(folder))

    def stop(self):
        stop_child(self.process)


def is_x64_program(path):
    with open(path, "rb") as f:
        header = f.read(4096)
    pe_offset, = struct.unpack_from("<I", header, 0x3C)
    machine, = struct.unpack_from("<H", header, pe_offset + 4)
    return machine == PE_MACHINE_X64


def system_modules(build_dir, folder):
    """Copies into folder the system modules that the build's programs run with under Wine,
    from the prefix of their width (as scripts/wine-run.sh picks it); returns folder."""
    base = os.environ.get("CR_WINE_BASE") or os.environ.get("WINEPREFIX") or \
        "/root/.wine-crashreporter"
    x64 = is_x64_program(os.path.join(build_dir, "bin", REPORTER))
    system32 = os.path.join(base + "-x64" if x64 else base, "drive_c", "windows", "system32")
    os.makedirs(folder, exist_ok=True)
    for name in SYSTEM_MODULES:
        if os.path.isfile(os.path.join(system32, name)):
            shutil.copyfile(os.path.join(system32, name), os.path.join(folder, name))
    return folder


def reporter_pids(marker):
    """Linux pids of the reporters whose command line holds marker (this run's dump folder).
    Wine shows a program's Windows command line as the process's own."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if REPORTER in line and marker + " " in line:
            found.append(int(entry))
    return found


def wait_for_exit(pids, seconds):
    """Waits for processes we did not start directly; kills what is left at the end.
    Returns the pids that had to be killed."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and any(os.path.exists("/proc/%d" % p) for p in pids):
        time.sleep(0.1)
    killed = [p for p in pids if os.path.exists("/proc/%d" % p)]
    for pid in killed:
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    return killed


def crash_kinds(build_dir):
    """{kind: (code, description)} as the demo lists them with --crash list."""
    listing = subprocess.run([WINE_RUN, os.path.join(build_dir, "bin", "CrashDemo.exe"),
                              "--crash", "list"], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=DEMO_SECONDS, env=dict(os.environ, WINEDEBUG="-all"))
    kinds = {}
    for line in listing.stdout.splitlines():
        kind, code, description = line.split(None, 2)
        kinds[kind] = (int(code, 16), description)
    return kinds


def run_demo(build_dir, work, full_memory=False, name=None, demo_arguments=None,
             collector_running=True, crash=None, program="CrashDemo.exe", extra_arguments=(),
             expected_uploads=None, inbox=None):
    """One demo run in a fresh work folder. Returns a dict with what happened; raises only
    when the collector cannot start. With inbox (a running Inbox), the demo uploads there and
    the inbox stays up; otherwise to a reference collector of its own. Another client program
    may stand in for the demo: it gets the collector host, the dump folder and
    extra_arguments, and the run waits for expected_uploads (by default one once a crash was
    announced)."""
    work = os.path.abspath(work)
    shutil.rmtree(work, ignore_errors=True)
    dumps = os.path.join(work, "dumps")
    os.makedirs(dumps)
    collector = inbox or Collector(os.path.join(work, "store"))
    before = len(collector.uploads())
    result = {"work": work, "dumps": dumps, "store": collector.store, "port": collector.port}
    try:
        host = collector.host
        if not collector_running:
            collector.stop()  # the port stays known but nobody answers
        arguments = demo_arguments
        if arguments is None:
            arguments = [host, windows_path(dumps)]
            if full_memory:
                arguments.append("--full-memory")
            if name:
                arguments += ["--name", name]
            if crash:
                arguments += ["--crash", crash]
            arguments += list(extra_arguments)
        # Files, not pipes: Wine hands its Unix stderr to every process the demo starts, so
        # a pipe would stay open for as long as the reporter runs.
        with open(os.path.join(work, "demo-output.txt"), "w+") as out, \
                open(os.path.join(work, "demo-errors.txt"), "w+") as err:
            demo = subprocess.Popen(
                [WINE_RUN, os.path.join(build_dir, "bin", program)] + arguments,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=dict(os.environ, WINEDEBUG="-all"))
            try:
                demo.wait(timeout=DEMO_SECONDS)
                result["timed_out"] = False
            except subprocess.TimeoutExpired:
                demo.kill()
                demo.wait()
                result["timed_out"] = True
            result["exit_code"] = demo.returncode
            out.seek(0)
            err.seek(0)
            output = out.read()
            result["output"] = output.splitlines()
            result["errors"] = err.read().splitlines()
        match = re.search(r"^crashing thread (\d+):", output, re.M)
        result["crashing_thread"] = int(match.group(1)) if match else None
        match = re.search(r"^hung thread (\d+)", output, re.M)
        result["hung_thread"] = int(match.group(1)) if match else None

        started = time.monotonic()
        result["killed_reporters"] = wait_for_exit(reporter_pids(windows_path(dumps)),
                                                   REPORTER_EXIT_SECONDS)
        result["reporter_exit_seconds"] = time.monotonic() - started
        # A crash that reached the reporter has been uploaded before the demo was released;
        # the wait only covers the collector's last writes.
        if expected_uploads is None:
            announced = (result["crashing_thread"], result["hung_thread"])
            expected_uploads = 1 if announced != (None, None) else 0
        if collector_running and expected_uploads > 0:
            collector.wait_until_stored(before + expected_uploads, STORED_SECONDS)
    finally:
        if collector is not inbox:
            collector.stop()
    result["uploads"] = [read_upload(folder) for folder in collector.uploads()[before:]]
    result["left_in_dumps"] = sorted(os.listdir(dumps))
    return result


def read_upload(folder):
    """What the collector stored for one upload, with the archive and its dump decoded."""
    def load(name, default):
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return default

    meta = load("meta.json", None)
    if meta is not None:  # the service's folder: it keeps only uploads it answered with 200
        upload = {"folder": folder, "report": {"id": meta["id"], "answer": 200},
                  "fields": {"name": meta["name"]},
                  "request": {"method": "POST", "path": "/store-dump/"},
                  "part": {"name": "crashdump", "filename": meta["filename"],
                           "size": meta["size"]}}
        upload["file"] = os.path.join(folder, "upload.bin")
        upload["archive"] = read_archive(upload["file"])
        return upload
    upload = {"folder": folder, "report": load("upload.json", {}),
              "fields": load("fields.json", {}), "request": load("request.json", {})}
    parts = [p for p in upload["report"].get("parts", []) if "stored_as" in p]
    upload["part"] = parts[0] if parts else None
    if upload["part"]:
        upload["file"] = os.path.join(folder, upload["part"]["stored_as"])
        upload["archive"] = read_archive(upload["file"])
    return upload


def read_archive(path):
    if not zipfile.is_zipfile(path):
        return None
    archive = {"entries": [], "dumps": {}, "bitmaps": {}}
    with zipfile.ZipFile(path) as z:
        archive["bad_entry"] = z.testzip()
        for info in z.infolist():
            archive["entries"].append((info.filename, info.file_size, info.compress_size))
            data = z.read(info)
            if info.filename.lower().endswith(".dmp"):
                archive["dumps"][info.filename] = read_dump(data)
            elif info.filename.lower().endswith(".bmp"):
                archive["bitmaps"][info.filename] = read_bitmap(data)
    return archive


def read_dump(data):
    """The exception stream of a minidump: MINIDUMP_EXCEPTION_STREAM, whose record starts
    8 bytes in (ThreadId, alignment, then code, flags, record, address, parameters)."""
    try:
        found = streams(data)
    except (AssertionError, struct.error):
        return {"valid": False}
    dump = {"valid": True, "size": len(data), "full_memory": MEMORY64_LIST_STREAM in found}
    if EXCEPTION_STREAM in found:
        stream = found[EXCEPTION_STREAM][0]
        thread, _, code, flags, _, address, count, _ = struct.unpack_from("<IIIIQQII", stream, 0)
        parameters = struct.unpack_from("<%dQ" % min(count, 15), stream, 40)
        dump.update(thread=thread, code=code, flags=flags, address=address,
                    parameters=list(parameters))
    if ANNOTATION_STREAM in found:
        dump["annotations"] = read_annotations(found[ANNOTATION_STREAM][0])
    return dump


def read_annotations(stream):
    """[(name, value)] of the annotation stream: a 32-bit count, then entries of a name and a
    value of 64 UTF-16 code units each, NUL-terminated."""
    count, = struct.unpack_from("<I", stream, 0)
    if 4 + count * ANNOTATION_ENTRY > len(stream):
        return None
    def text(offset):
        return stream[offset:offset + 128].decode("utf-16-le").split("\0", 1)[0]
    return [(text(4 + i * ANNOTATION_ENTRY), text(4 + i * ANNOTATION_ENTRY + 128))
            for i in range(count)]


def read_bitmap(data):
    if len(data) < 30 or data[:2] != b"BM":
        return {"valid": False}
    width, height = struct.unpack_from("<ii", data, 18)
    bits, = struct.unpack_from("<H", data, 28)
    return {"valid": True, "width": width, "height": abs(height), "bits": bits,
            "size": len(data)}


def describe_exception(dump):
    text = "exception 0x%08X" % dump["code"]
    name = EXCEPTION_NAMES.get(dump["code"])
    if name and dump["code"] == ACCESS_VIOLATION and len(dump["parameters"]) >= 2:
        kind = ACCESS_KINDS.get(dump["parameters"][0], "access")
        name += ", %s at 0x%08X" % (kind, dump["parameters"][1])
    if name:
        text += " (%s)" % name
    return text + " at address 0x%08X" % dump["address"]


def print_report(result, expected_code=ACCESS_VIOLATION):
    code = result["exit_code"]
    # Wine hands on only the low byte of a Windows exit code.
    note = " (the low byte of 0x%08X)" % expected_code if code == expected_code & 0xFF else ""
    print("CrashDemo ended with exit status %d%s%s" % (
        code, note, " after a time-out" if result["timed_out"] else ""))
    for line in result["output"]:
        print("  demo: " + line)
    if result["killed_reporters"]:
        print("the reporter had to be stopped: it was still running %d s after the demo" %
              REPORTER_EXIT_SECONDS)
    else:
        print("the reporter has ended (%.1f s after the demo)" % result["reporter_exit_seconds"])

    uploads = result["uploads"]
    print("collector on 127.0.0.1:%d stored %d upload(s)" % (result["port"], len(uploads)))
    for upload in uploads:
        report, part = upload["report"], upload["part"]
        print("  upload %s: %s %s, answered %s, form fields %s" % (
            report.get("id"), upload["request"].get("method"), upload["request"].get("path"),
            report.get("answer"), json.dumps(upload["fields"], ensure_ascii=False)))
        if not part:
            print("  (no file part)")
            continue
        print("  file part \"%s\": %s, %d bytes" % (part["name"], part.get("filename"),
                                                    part["size"]))
        archive = upload.get("archive")
        if archive is None:
            print("  the file is not a ZIP archive")
            continue
        print("  archive entries (name, size, packed size)%s:" % (
            "" if archive["bad_entry"] is None else ", damaged entry " + archive["bad_entry"]))
        for entry_name, size, packed in archive["entries"]:
            print("    %-44s %10d %10d" % (entry_name, size, packed))
        for entry_name, dump in archive["dumps"].items():
            if not dump["valid"]:
                print("  %s: not a minidump" % entry_name)
            elif "code" not in dump:
                print("  %s: no exception stream" % entry_name)
            else:
                said = result["crashing_thread"] or result["hung_thread"]
                print("  %s: %s on thread %d%s%s" % (
                    entry_name, describe_exception(dump), dump["thread"],
                    "" if said is None else " (the demo's %s thread: %d)" % (
                        "crashing" if result["crashing_thread"] else "hung", said),
                    ", full memory" if dump["full_memory"] else ""))
            if dump.get("annotations"):
                print("  %s: annotations %s" % (entry_name, ", ".join(
                    "%s=%s" % pair for pair in dump["annotations"])))
        for entry_name, bitmap in archive["bitmaps"].items():
            if bitmap["valid"]:
                print("  %s: %d x %d pixels, %d bits per pixel" % (
                    entry_name, bitmap["width"], bitmap["height"], bitmap["bits"]))
            else:
                print("  %s: not a bitmap" % entry_name)
    print("files:")
    for upload in uploads:
        print("  collector's copy:   %s/ (%s)" % (upload["folder"],
                                                 ", ".join(sorted(os.listdir(upload["folder"])))))
        if upload.get("archive"):
            print("  archive unpacked:   %s/" % unpack(upload["file"], result["work"]))
    print("  left by the reporter: %s/ (%s)" % (result["dumps"],
                                               ", ".join(result["left_in_dumps"]) or "empty"))


def hung_function(report):
    """Where the hung thread waited, as the collector's hang signature names it: the first
    frame of its stack outside the system's modules."""
    details = report.get("details") or {}
    frames = (details.get("stack") or {}).get("frames") or []
    exception = (details.get("dump") or {}).get("exception") or {}
    return hang_signature(exception, frames)[len("hang "):]


def unpack(archive_path, work):
    target = os.path.join(work, "report")
    shutil.rmtree(target, ignore_errors=True)
    with zipfile.ZipFile(archive_path) as z:
        for info in z.infolist():
            # Entry names are bare file names; anything else is not unpacked.
            if os.path.basename(info.filename) == info.filename and info.filename:
                os.makedirs(target, exist_ok=True)
                with open(os.path.join(target, info.filename), "wb") as out:
                    out.write(z.read(info))
    return target


def succeeded(result, expected_code=ACCESS_VIOLATION):
    """One upload whose archive holds a dump with the expected exception and a bitmap."""
    if len(result["uploads"]) != 1 or not result["uploads"][0].get("archive"):
        return False
    archive = result["uploads"][0]["archive"]
    return (any(d.get("code") == expected_code for d in archive["dumps"].values())
            and any(b["valid"] for b in archive["bitmaps"].values()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--work", help="folder for this run (default: <build dir>/demo)")
    parser.add_argument("--full-memory", action="store_true", help="ask for a full-memory dump")
    parser.add_argument("--name", help="server name (default: the demo's own)")
    parser.add_argument("--crash", default=DEFAULT_CRASH, metavar="KIND",
                        help="how the demo crashes (default: %(default)s); 'list' lists them")
    parser.add_argument("--serve", action="store_true",
                        help="keep the collector running for a browser until interrupted")
    args = parser.parse_args()
    kinds = crash_kinds(args.build_dir)
    if args.crash == "list":
        for kind, (code, description) in kinds.items():
            print("%-20s 0x%08X  %s" % (kind, code, description))
        return 0
    if args.crash not in kinds:
        parser.error("unknown crash kind %r; --crash list lists them" % args.crash)
    expected_code, description = kinds[args.crash]
    EXCEPTION_NAMES.setdefault(expected_code, description)
    work = os.path.abspath(args.work or os.path.join(args.build_dir, "demo"))
    shutil.rmtree(os.path.join(work, "inbox"), ignore_errors=True)
    inbox = Inbox(os.path.join(work, "inbox"), symbols=os.path.join(args.build_dir, "bin"),
                  max_seconds=0 if args.serve else COLLECTOR_MAX_SECONDS)
    try:
        inbox.upload_symbols(system_modules(args.build_dir, os.path.join(work, "system")))
        result = run_demo(args.build_dir, os.path.join(work, "run"),
                          full_memory=args.full_memory, name=args.name, crash=args.crash,
                          inbox=inbox)
        print_report(result, expected_code)
        if not succeeded(result, expected_code):
            for line in result["errors"][-20:]:
                print("  wine: " + line)
            print("the demo did not deliver a report with a dump and a screenshot")
            return 1
        report = inbox.api("/api/reports/" + os.path.basename(result["uploads"][0]["folder"]))
        if expected_code == APPLICATION_HANG:
            exception = report["details"]["dump"]["exception"]
            print("hang report: code %s (application hang), thread %d, hung in %s" % (
                exception["code_text"], exception["thread"], hung_function(report)))
        kind = "hang" if expected_code == APPLICATION_HANG else "crash"
        print("%s signature: %s" % (kind, report["signature"] or report["reason"]))
        print("report page: %s%s" % (inbox.host, report["page"]))
        if args.serve:
            print("the collector keeps serving %s/ until Ctrl-C" % inbox.host, flush=True)
            # A terminated demo ends its collector too, as Ctrl-C does.
            signal.signal(signal.SIGTERM, signal.default_int_handler)
            try:
                inbox.process.wait()
            except KeyboardInterrupt:
                pass
        return 0
    finally:
        inbox.stop()


if __name__ == "__main__":
    sys.exit(main())
