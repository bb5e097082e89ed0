#!/usr/bin/python3
"""Symbols uploaded to the collector: stored under their module keys by the upload-symbols
command, given to the debugger for the dumps whose modules match, and a report processed
before they arrived processed again, its group following (read in headless Chromium).
Hostile symbol uploads are refused and leave nothing behind. A stand-in debugger names the
crashing function only when it is handed app.exe from the symbol store.

With a build dir, Debian's lldb unwinds a dump of the build's CrashDemo.exe stripped by the
mingw tools: offsets from the stripped module alone, the function once the separate debug file
that its .gnu_debuglink names arrives, which it checks by CRC32.

usage: symbols_test.py [build dir]
"""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from selenium.webdriver.common.by import By

import minidump_builder as mb
from browser import start_browser
from support import HERE, ROOT, Service, files_under, incoming_files
from crashinbox.symbols import pe_identity  # on the path that support sets  # noqa: E402

SERVICE = os.path.join(ROOT, "collector", "service.py")
FAKE_LLDB = os.path.join(HERE, "fake_lldb.py")
TOKEN, SYMBOL_TOKEN = "pages", "symbols"
# What mb.sample_dump records of app.exe: TimeDateStamp and SizeOfImage.
APP_STAMP, APP_SIZE = 0x5F000000, 0x10000
APP_KEY = "app.exe/%08X%x/app.exe" % (APP_STAMP, APP_SIZE)
MAX_SYMBOL_BYTES = 1 << 20
SECONDS = 60
BUILD_DIR = None
MINGW = "x86_64-w64-mingw32-"
CRASHING_FUNCTION = "(anonymous namespace)::WriteThroughNullPointer()"
CRASH_SOURCE = "CrashKinds.cpp:"
DEMO_BASE = 0x140000000
PE_MACHINE_X64 = 0x8664


def pe_file(stamp, size, padding=0):
    """The headers of a 64-bit PE image: what the symbol store reads of a module."""
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    coff = struct.pack("<HHIIIHH", 0x8664, 0, stamp, 0, 0, 240, 0x22)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<I", optional, 56, size)
    return dos + b"PE\0\0" + coff + bytes(optional) + bytes(padding)


def multipart(parts, boundary="b0undary"):
    """parts: [(field, filename or None, bytes)]"""
    body = b""
    for field, filename, content in parts:
        disposition = 'form-data; name="%s"' % field
        if filename is not None:
            disposition += '; filename="%s"' % filename
        body += (b"--" + boundary.encode() + b"\r\nContent-Disposition: " +
                 disposition.encode() + b"\r\n\r\n" + content + b"\r\n")
    return body + b"--" + boundary.encode() + b"--\r\n", {
        "Content-Type": "multipart/form-data; boundary=" + boundary}


class Symbols(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-symbols-")
        cls.state = os.path.join(cls.work, "lldb-state")
        with open(cls.state, "w") as f:
            f.write("symbols")
        os.environ["FAKE_LLDB_STATE"] = cls.state
        cls.store = os.path.join(cls.work, "store")
        cls.service = Service(cls.store, options=(
            "--lldb", FAKE_LLDB, "--token", TOKEN, "--symbol-token", SYMBOL_TOKEN,
            "--max-symbol-bytes", str(MAX_SYMBOL_BYTES), "--max-body-bytes", str(4 << 20)))
        cls.pages = {"Authorization": "Bearer " + TOKEN}

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def report(self, upload_id):
        return self.service.get_json("/api/reports/" + upload_id, headers=self.pages)

    def post_symbols(self, parts, token=SYMBOL_TOKEN):
        body, headers = multipart(parts)
        if token:
            headers["Authorization"] = "Bearer " + token
        return self.service.request("POST", "/symbols/", body, headers)

    def test_a_report_is_processed_again_when_its_symbols_arrive_and_its_group_follows(self):
        upload_id = self.service.stored_id(self.service.upload(mb.sample_dump(code=0xC0000096)))
        before = self.service.wait_report(upload_id, headers=self.pages)
        self.assertEqual(before["signature"], "0xC0000096 app.exe+0x1234")
        folder = os.path.join(self.work, "bin")
        os.makedirs(os.path.join(folder, "plugins"))
        for name, content in [("App.exe", pe_file(APP_STAMP, APP_SIZE)),
                              ("plugins/other.dll", pe_file(0x12345678, 0x2000)),
                              ("readme.txt", b"not a module"),
                              ("broken.dll", b"MZ but nothing else")]:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
        done = subprocess.run([sys.executable, SERVICE, "upload-symbols", folder,
                               self.service.host, "--symbol-token", SYMBOL_TOKEN],
                              capture_output=True, text=True, timeout=SECONDS)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("stored %s (1 reports queued again)" % APP_KEY, done.stdout)
        self.assertIn("skipped %s" % os.path.join(folder, "broken.dll"), done.stdout)
        self.assertEqual(os.listdir(os.path.join(self.store, "symbols", *APP_KEY.split("/")[:2])),
                         ["App.exe"])

        deadline = time.monotonic() + SECONDS
        while self.report(upload_id)["signature"] != "0xC0000096 app.exe!Crash()":
            self.assertLess(time.monotonic(), deadline, self.report(upload_id))
            time.sleep(0.1)
        groups = self.service.get_json("/api/groups", headers=self.pages)
        ours = [g for g in groups if g["signature"].startswith("0xC0000096")]
        self.assertEqual([(g["signature"], g["count"]) for g in ours],
                         [("0xC0000096 app.exe!Crash()", 1)])
        browser = start_browser(os.path.join(self.work, "chromium"))
        try:
            browser.get("%s/reports/%s?token=%s" % (self.service.host, upload_id, TOKEN))
            functions = [e.text for e in browser.find_elements(By.CSS_SELECTOR,
                                                               "#stack td.function")]
            self.assertEqual(functions[0], "Crash()")
        finally:
            browser.quit()

    def test_hostile_symbol_uploads_are_refused_and_leave_nothing(self):
        good = pe_file(0x11111111, 0x3000)
        cases = {
            "no token": ([("symbol", "a.dll", good)], None, 403),
            "the pages' token": ([("symbol", "a.dll", good)], TOKEN, 403),
            "a wrong key": ([("key", None, b"a.dll/111111113001/a.dll"),
                             ("symbol", "a.dll", good)], SYMBOL_TOKEN, 400),
            "a key for each of two files": ([("key", None, b"a.dll/111111113000/a.dll"),
                                             ("symbol", "a.dll", good),
                                             ("symbol", "b.dll", good)], SYMBOL_TOKEN, 400),
            "a climbing name": ([("symbol", "../../a.dll", good)], SYMBOL_TOKEN, 400),
            "a name with folders": ([("symbol", "C:\\bin\\a.dll", good)], SYMBOL_TOKEN, 400),
            "not a module name": ([("symbol", "a.txt", good)], SYMBOL_TOKEN, 400),
            "not a PE file": ([("symbol", "a.dll", b"MZ" + bytes(100))], SYMBOL_TOKEN, 400),
            "a header beyond the file": ([("symbol", "a.dll", good[:0x3C] + b"\xff\xff\0\0")],
                                         SYMBOL_TOKEN, 400),
            "no file part": ([("other", "a.dll", good)], SYMBOL_TOKEN, 400),
            "beyond the symbol limit": ([("symbol", "a.dll", pe_file(1, 2, 2 << 20))],
                                        SYMBOL_TOKEN, 413),
        }
        for name, (parts, token, expected) in cases.items():
            with self.subTest(name):
                status, text, _ = self.post_symbols(parts, token)
                self.assertEqual(status, expected, text)
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=30) as s:
            s.sendall(b"POST /symbols/ HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer %s\r\n"
                      b"Content-Type: multipart/form-data; boundary=b\r\n"
                      b"Content-Length: %d\r\n\r\n" % (SYMBOL_TOKEN.encode(), 5 << 20))
            self.assertTrue(s.recv(4096).startswith(b"HTTP/1.1 413"))
        self.assertEqual([p for p in files_under(os.path.join(self.store, "symbols"))
                          if "a.dll" in p or "b.dll" in p], [])
        self.assertEqual(incoming_files(self.store), [])
        status, text, _ = self.post_symbols([("key", None, b"A.DLL/111111113000/A.DLL"),
                                             ("symbol", "a.dll", good)])
        self.assertEqual((status, text), (200, b"stored a.dll/111111113000/a.dll "
                                               b"(0 reports queued again)\n"))


def ship_stripped(module, folder, debug_name, debug_folder="", epoch="1700000000"):
    """(module stripped whole with a debuglink, its debug file) as a team keeps them. epoch
    is the TimeDateStamp that objcopy writes into both."""
    shipped = os.path.join(folder, os.path.basename(module))
    debug = os.path.join(folder, debug_folder, debug_name)
    os.makedirs(os.path.dirname(debug), exist_ok=True)
    for command in (["objcopy", "--only-keep-debug", module, debug],
                    ["strip", "--strip-all", "-o", shipped, module],
                    ["objcopy", "--add-gnu-debuglink=" + debug, shipped]):
        subprocess.run([MINGW + command[0], *command[1:]], check=True, timeout=SECONDS,
                       env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
    return shipped, debug


def key_of(path):
    with open(path, "rb") as f:
        stamp, size = pe_identity(f)
    name = os.path.basename(path).lower()
    return "%s/%08X%x/%s" % (name, stamp, size, name)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def built_for_x64(build_dir):
    with open(os.path.join(build_dir, "bin", "CrashDemo.exe"), "rb") as f:
        header = f.read(4096)
    pe_offset, = struct.unpack_from("<I", header, 0x3C)
    return struct.unpack_from("<H", header, pe_offset + 4)[0] == PE_MACHINE_X64


@unittest.skipUnless(len(sys.argv) > 1 and built_for_x64(sys.argv[1]),
                     "needs an x64 build dir (the dump it builds is an x64 one)")
class SeparateDebugFiles(unittest.TestCase):
    """Debian's lldb and the build's CrashDemo.exe, stripped the way a team ships it."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-debug-files-")
        cls.bin, built = os.path.join(cls.work, "bin"), os.path.join(BUILD_DIR, "bin")
        cls.built = os.path.join(built, "CrashDemo.exe")
        cls.demo, cls.demo_debug = ship_stripped(cls.built, cls.bin, "CrashDemo.exe.debug")
        # The other place the GNU tools look for it, and a name of another form.
        cls.library, cls.library_debug = ship_stripped(
            os.path.join(built, "CrashReporting.dll"), cls.bin, "CrashReporting.debug", ".debug")
        symbols = subprocess.run([MINGW + "nm", cls.built], capture_output=True, text=True,
                                 check=True).stdout
        address = 4 + next(int(line.split()[0], 16) for line in symbols.splitlines()
                           if "WriteThroughNullPointer" in line)
        with open(cls.demo, "rb") as f:
            cls.dump = mb.x64_crash_dump("C:\\Demo\\CrashDemo.exe", DEMO_BASE,
                                         *reversed(pe_identity(f)), address)
        cls.offset, cls.key = address - DEMO_BASE, key_of(cls.demo)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.store = tempfile.mkdtemp(prefix="store-", dir=self.work)
        self.service = Service(self.store)
        self.addCleanup(self.service.stop)

    def post(self, parts):
        body, headers = multipart(parts)
        headers["Authorization"] = "Bearer " + self.service.symbol_token
        status, text, _ = self.service.request("POST", "/symbols/", body, headers)
        return status, text.decode()

    def processed(self, upload_id, done=lambda stack: True):
        """The report's signature and top frame once processing left a stack done() holds."""
        deadline = time.monotonic() + SECONDS
        while True:
            report = self.service.get_json("/api/reports/" + upload_id)
            stack = (report["details"] or {}).get("stack", {})
            if report["state"] != "received" and stack.get("frames") and done(stack):
                return report["signature"], stack["frames"][0]
            self.assertLess(time.monotonic(), deadline, report)
            time.sleep(0.2)

    def test_upload_symbols_sends_the_debug_files_and_lldb_names_the_function(self):
        done = subprocess.run([sys.executable, SERVICE, "upload-symbols", self.bin,
                               self.service.host, "--symbol-token", self.service.symbol_token],
                              capture_output=True, text=True, timeout=SECONDS)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for module, debug in [(self.demo, self.demo_debug), (self.library, self.library_debug)]:
            self.assertIn("%s: 200 stored %s debug file %s (0 reports queued again)" % (
                debug, key_of(module), os.path.basename(debug)), done.stdout)
        signature, top = self.processed(self.service.stored_id(self.service.upload(self.dump)))
        self.assertEqual(signature, "0xC0000005 CrashDemo.exe!" + CRASHING_FUNCTION)
        self.assertEqual((top["offset"], top["function"]), (self.offset, CRASHING_FUNCTION))
        self.assertTrue(top["source"].startswith(CRASH_SOURCE), top)

    def test_the_stripped_module_gives_offsets_until_its_debug_file_arrives(self):
        upload_id = self.service.stored_id(self.service.upload(self.dump))
        self.service.wait_report(upload_id)
        self.assertEqual(self.post([("symbol", "CrashDemo.exe", read(self.demo))]),
                         (200, "stored %s (1 reports queued again)\n" % self.key))
        signature, top = self.processed(upload_id, lambda stack: stack["symbols"])
        self.assertEqual(signature, "0xC0000005 CrashDemo.exe+0x%X" % self.offset)
        self.assertEqual((top["offset"], top["function"]), (self.offset, None))
        # Keys are taken in any case, as for module files.
        self.assertEqual(self.post([("key", None, self.key.upper().encode()),
                                    ("symbol", "CrashDemo.exe.debug", read(self.demo_debug))]),
                         (200, "stored %s debug file CrashDemo.exe.debug (1 reports queued "
                               "again)\n" % self.key))
        signature, _ = self.processed(upload_id, lambda stack: stack["frames"][0]["function"])
        self.assertEqual(signature, "0xC0000005 CrashDemo.exe!" + CRASHING_FUNCTION)

    def test_debug_files_that_are_not_the_modules_own_are_refused_and_leave_nothing(self):
        self.assertEqual(self.post([("symbol", "CrashDemo.exe", read(self.demo))])[0], 200)
        other, other_debug = ship_stripped(self.built, os.path.join(self.work, "other"),
                                           "CrashDemo.exe.debug", epoch="1700000100")
        key, debug, name = self.key.encode(), read(self.demo_debug), "CrashDemo.exe.debug"
        cases = {
            "another build's debug file": [("key", None, key),
                                           ("symbol", name, read(other_debug))],
            "no key": [("symbol", name, debug)],
            "another build's key": [("key", None, key_of(other).encode()),
                                    ("symbol", name, debug)],
            "a key that climbs": [("key", None, b"../../crashdemo.exe/6553F1002f000/x.exe"),
                                  ("symbol", name, debug)],
            "a name the module does not give": [("key", None, key),
                                                ("symbol", "CrashDemo.debug", debug)],
            "a climbing name": [("key", None, key), ("symbol", "../" + name, debug)],
            "after a module that names none": [("key", None, key_of(self.built).encode())] * 2
            + [("symbol", "CrashDemo.exe", read(self.built)), ("symbol", name, debug)],
        }
        for case, parts in cases.items():
            with self.subTest(case):
                status, text = self.post(parts)
                self.assertEqual(status, 400, text)
                self.assertTrue(text.startswith("refused: "), text)
        self.assertIn("has the CRC32", self.post(cases["another build's debug file"])[1])
        symbols = os.path.join(self.store, "symbols")
        self.assertEqual([p for p in files_under(symbols) if os.path.isfile(p)],
                         [os.path.join(symbols, *self.key.split("/")[:2], "CrashDemo.exe")])
        self.assertEqual(incoming_files(self.store), [])


if __name__ == "__main__":
    if len(sys.argv) > 1:
        BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
