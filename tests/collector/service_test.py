#!/usr/bin/python3
"""The collector service without Wine: its dump reader on dumps built from the published
layout, signatures, hostile uploads against the running service, access and retention.

usage: service_test.py
"""

import io
import os
import re
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest
import zipfile
from unittest import mock

import minidump_builder as mb
import postgres
from support import BACKEND, HERE, Service, files_under, incoming_files, multipart, zip_of

from crashinbox.archive import ArchiveError, Limits, check_entries
from crashinbox.inbox import Inbox
from crashinbox.index import Index
from crashinbox.minidump import DumpError, exception_name, read_minidump
from crashinbox.signature import crash_signature, group_id
from crashinbox.stack import Debugger, parse_backtrace
from crashinbox import store as store_module
from crashinbox.database import SqliteDatabase, open_database
from crashinbox.store import Store
from crashinbox.web import SYMBOLS_PATH, UPLOAD_PATH, create_app

FAKE_LLDB = os.path.join(HERE, "fake_lldb.py")
TOKEN = "s3cret"
BEARER = {"Authorization": "Bearer " + TOKEN}
UPLOAD_HEADERS = (b"POST /store-dump/ HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
                  b"boundary=b\r\nContent-Length: %d\r\n\r\n")
# Every route but the upload path; a new one must be added here and so to the token test.
PAGES_AND_DOWNLOADS = {"/", "/groups/<group_id>", "/reports/<upload_id>",
                       "/reports/<upload_id>/<which>", "/api/groups", "/api/groups/<group_id>",
                       "/api/reports/<upload_id>", "/api/unprocessed", "/api/status",
                       "/api/groups/<group_id>/overview", "/api/reports", "/api/days"}
ANNOTATIONS = [("build", "1.2.3-beta"), ("", "left out"), ("user", "Gr\u00fc\u00dfe"),
               ("ptime", "12345")]
LLDB_OUTPUT = """(lldb) thread backtrace
* thread #1, stop reason = Exception 0xc0000005 encountered at address 0x401234
  * frame #0: 0x00401234 app.exe`(anonymous namespace)::Crash() + 4 at main.cpp:10
    frame #1: 0x00401300 app.exe`wmain
    frame #2: 0x760293e0 kernel32.dll
"""


def headers_only(port, length):
    """The answer to an upload's headers that declare length bytes, before any body."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(UPLOAD_HEADERS % length)
        return s.recv(4096)


def service_routes(scope="read"):
    """The routes the service's application serves with scope, bar the upload path and
    static files."""
    work = tempfile.mkdtemp(prefix="collector-routes-")
    try:
        app = create_app(Inbox(os.path.join(work, "store")), TOKEN)
        return {r.rule for r in app.url_map.iter_rules()
                if r.endpoint != "static" and r.rule not in (UPLOAD_PATH, SYMBOLS_PATH) and
                getattr(app.view_functions[r.endpoint], "required_scope", "read") == scope}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def listening_addresses(port):
    """The local addresses of the TCP sockets listening on port, from /proc."""
    found = set()
    for table, size in (("/proc/net/tcp", 4), ("/proc/net/tcp6", 16)):
        with open(table) as f:
            for line in f.readlines()[1:]:
                local, state = line.split()[1], line.split()[3]
                address, local_port = local.split(":")
                if state == "0A" and int(local_port, 16) == port:
                    raw = bytes.fromhex(address)
                    # /proc prints each 32-bit word in host order
                    raw = b"".join(raw[i:i + 4][::-1] for i in range(0, size, 4))
                    found.add(socket.inet_ntop(socket.AF_INET if size == 4 else socket.AF_INET6,
                                               raw))
    return found


class DumpReading(unittest.TestCase):
    def read(self, data):
        return read_minidump(io.BytesIO(data))

    def test_a_dump_with_annotations_reads_whole(self):
        dump = self.read(mb.sample_dump(annotations=ANNOTATIONS))
        exception = dump["exception"]
        self.assertEqual((exception["code_text"], exception["name"]),
                         ("0xC0000005", "access violation"))
        self.assertEqual((exception["module"], exception["offset"], exception["thread"]),
                         ("app.exe", 0x1234, 200))
        self.assertEqual(exception["access"], "write at 0x00000000")
        self.assertEqual(dump["annotations"], [{"name": "build", "value": "1.2.3-beta"},
                                               {"name": "user", "value": "Gr\u00fc\u00dfe"},
                                               {"name": "ptime", "value": "12345"}])
        self.assertEqual(dump["modules"][0]["file_version"], "1.2.3.4")
        self.assertEqual(dump["modules"][1]["name"], "kernel32.dll")
        self.assertEqual([t["id"] for t in dump["threads"]], [100, 200])
        self.assertEqual((dump["process_id"], dump["uptime_seconds"]), (4242, 75))
        self.assertEqual(dump["system"]["cpu"], "x86")
        self.assertIn("10.0 build 19045", dump["system"]["os"])
        self.assertEqual(dump["client_block"]["size"], 776)

    def test_todays_dumps_without_annotations_still_read(self):
        dump = self.read(mb.sample_dump())
        self.assertIsNone(dump["annotations"])
        self.assertEqual(dump["exception"]["module"], "app.exe")

    def test_a_crash_outside_every_module_has_no_module(self):
        dump = self.read(mb.sample_dump(address=0x12345678))
        self.assertNotIn("module", dump["exception"])
        self.assertEqual(crash_signature(dump["exception"], []), "0xC0000005 at unknown module")

    def test_the_client_librarys_codes_have_names(self):
        for code, name in [(0xC000001D, "illegal instruction"),
                           (0xC0000094, "integer divide by zero"),
                           (0xC00000FD, "stack overflow"), (0x40000015, "abort"),
                           (0xC0000417, "invalid C runtime parameter"),
                           (0xC0000409, "fail-fast"), (0xC0000374, "heap corruption"),
                           (0xE0435201, "std::terminate"), (0xE0435202, "uncaught C++"),
                           (0xE0435203, "pure virtual"), (0xE0435204, "out of memory")]:
            with self.subTest(code=hex(code)):
                self.assertIn(name, exception_name(code))
                self.assertEqual(self.read(mb.sample_dump(code=code))["exception"]["name"],
                                 exception_name(code))

    def test_broken_dumps_are_refused_with_a_reason(self):
        good = mb.sample_dump(annotations=ANNOTATIONS)
        outside = lambda i, e: (e[0], e[1], len(good) + 16) if i == 0 else e  # noqa: E731
        too_big = lambda i, e: (e[0], 1 << 30, e[2]) if e[0] == mb.MODULE_LIST else e  # noqa: E731
        count_lies = bytearray(good)
        _, _, rva = struct.unpack_from("<III", good, 32 + 12 * 2)  # the module list
        struct.pack_into("<I", count_lies, rva, 100000)
        cases = {
            "empty": b"", "truncated header": good[:20], "not a dump": b"PK\x03\x04" + good[4:],
            "truncated streams": good[:len(good) // 2],
            "stream beyond the end": mb.Builder().system_info().add(1, b"x").bytes(outside),
            "stream size beyond the end":
                mb.Builder().modules([("a.exe", 0, 1, None)]).bytes(too_big),
            "module count beyond the stream": bytes(count_lies),
        }
        for name, data in cases.items():
            with self.subTest(name):
                with self.assertRaises(DumpError):
                    self.read(data)

    def test_a_count_beyond_its_list_is_refused(self):
        # The module names lie after the entries, outside the stream as the directory sizes it,
        # so that only the count check stands between a third entry and the names' bytes.
        two_modules = [("a.exe", 0x400000, 0x1000, None), ("b.dll", 0x500000, 0x1000, None)]
        entries_only = lambda i, e: (e[0], 4 + 2 * 108, e[2])  # noqa: E731
        cases = {"threads": mb.Builder().threads([1, 2]).add(mb.REPORTER, bytes(200)).bytes(),
                 "modules": mb.Builder().modules(two_modules).bytes(entries_only)}
        for name, data in cases.items():
            with self.subTest(name):
                self.assertEqual(len(self.read(data)[name]), 2)
                _, _, rva = struct.unpack_from("<III", data, 32)
                lying = bytearray(data)
                struct.pack_into("<I", lying, rva, 3)
                with self.assertRaisesRegex(DumpError, "claims 3 entries"):
                    self.read(bytes(lying))

    def test_entries_sharing_one_long_name_stay_within_the_decoding_budget(self):
        # 4,000 entries x 64 KiB would decode to 500 MiB of names (and more as JSON).
        data = mb.Builder().system_info().modules_sharing_a_name(4000, 32767).bytes()
        self.assertLess(len(data), 1 << 20)
        with self.assertRaisesRegex(DumpError, "decodes to more than"):
            self.read(data)
        # The same shape at a size real processes have reads whole.
        few = self.read(mb.Builder().modules_sharing_a_name(200, 260).bytes())
        self.assertEqual(len(few["modules"]), 200)


class Signatures(unittest.TestCase):
    def test_frames_from_lldb_carry_module_offsets(self):
        modules = self.modules()
        frames = parse_backtrace(LLDB_OUTPUT, modules)
        self.assertEqual([(f["module"], f["offset"], f["function"], f["source"])
                          for f in frames],
                         [("app.exe", 0x1234, "(anonymous namespace)::Crash()", "main.cpp:10"),
                          ("app.exe", 0x1300, "wmain", None),
                          ("kernel32.dll", 0x293E0, None, None)])

    def test_a_named_function_makes_the_signature_else_the_offset(self):
        exception = read_minidump(io.BytesIO(mb.sample_dump()))["exception"]
        frames = parse_backtrace(LLDB_OUTPUT, self.modules())
        self.assertEqual(crash_signature(exception, frames),
                         "0xC0000005 app.exe!(anonymous namespace)::Crash()")
        self.assertEqual(crash_signature(exception, []), "0xC0000005 app.exe+0x1234")
        unnamed = [dict(frames[0], function=None)]
        self.assertEqual(crash_signature(exception, unnamed), "0xC0000005 app.exe+0x1234")
        self.assertEqual(group_id("a"), group_id("a"))

    def test_a_named_top_frame_elsewhere_than_the_exception_does_not_name_the_crash(self):
        # lldb's top frame can be a caller when it could not read the crashing frame.
        exception = read_minidump(io.BytesIO(mb.sample_dump()))["exception"]
        elsewhere = [{"module": "app.exe", "offset": 0x1300, "function": "wmain"}]
        self.assertEqual(crash_signature(exception, elsewhere), "0xC0000005 app.exe+0x1234")

    def test_a_synthetic_exception_is_grouped_by_the_application_frame_below_the_handling(self):
        exception = dict(read_minidump(io.BytesIO(mb.sample_dump()))["exception"],
                         code=0xE0435202, code_text="0xE0435202")
        frames = [{"module": "app.exe", "offset": 0x1234, "function": None},
                  {"module": "app.exe", "offset": 0x2000,
                   "function": "(anonymous namespace)::ReportSynthetic(code=3762491906)"},
                  {"module": "app.exe", "offset": 0x2100, "function": "__cxxabiv1::__terminate()"},
                  {"module": "app.exe", "offset": 0x3000, "function": "Save(path=0x0061fe2c)"}]
        self.assertEqual(crash_signature(exception, frames), "0xE0435202 app.exe!Save()")
        # Without names only the module and offset are left, as for any other code.
        self.assertEqual(crash_signature(exception, [dict(f, function=None) for f in frames]),
                         "0xE0435202 app.exe+0x1234")
        self.assertNotEqual(group_id("a"), group_id("b"))

    def modules(self):
        return read_minidump(io.BytesIO(mb.sample_dump()))["modules"]


class StoreAndIndex(unittest.TestCase):
    """The store's and the index's own guarantees, in process."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-store-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_uploads_are_flushed_together_before_the_renames_that_publish_them(self):
        store = Store(os.path.join(self.work, "store"))
        calls = []
        real_fsync, real_replace, real_syncfs = os.fsync, os.replace, store_module.syncfs

        def fsync(descriptor):
            calls.append(("fsync", os.readlink("/proc/self/fd/%d" % descriptor)))
            real_fsync(descriptor)

        def replace(source, target):
            calls.append(("rename", source, target))
            real_replace(source, target)

        def syncfs(path):
            calls.append(("syncfs", path))
            real_syncfs(path)

        ids = []
        for _ in range(2):
            part = store.new_incoming_file()
            part.write(b"report")
            ids.append(store.stage(part, {"name": "App"})["id"])
        with mock.patch("os.fsync", fsync), mock.patch("os.replace", replace), \
                mock.patch.object(store_module, "syncfs", syncfs):
            store.publish(ids)
        self.assertEqual(calls, [("syncfs", store.root)] + [
            ("rename", os.path.join(store.incoming, i), store.folder(i)) for i in ids] +
            [("fsync", store.uploads)])
        self.assertEqual(sorted(store.stored_uploads()), sorted(ids))

    def index(self):
        """An index in the backend under test, of its own."""
        if BACKEND == "postgresql":
            return Index(open_database(postgres.server().database(self.work), ""))
        return Index(SqliteDatabase(os.path.join(self.work, "index.sqlite")))

    def test_a_result_counts_only_while_its_claim_holds_the_upload(self):
        index = self.index()
        index.add({"id": "u", "received": 1000, "name": "App", "size": 10})
        slow = index.claim(0.2)
        self.assertIsNone(index.claim(60))  # leased
        time.sleep(0.3)
        taken = index.claim(60)  # the slow worker's lease ran out
        self.assertEqual((taken["id"], taken["attempts"]), ("u", 2))
        self.assertFalse(index.finish("u", slow["claim"], "processed", None, "late", "g1", {},
                                      10))
        self.assertTrue(index.finish("u", taken["claim"], "processed", None, "on time", "g2",
                                     {}, 10, ("app.exe/5F00000010000/app.exe",)))
        self.assertEqual(index.report("u")["signature"], "on time")
        self.assertIsNone(index.claim(60))
        self.assertEqual(index.requeue_missing("app.exe/5F00000010000/app.exe"), 1)
        self.assertEqual(index.claim(60)["attempts"], 1)
        index.close()

    @unittest.skipUnless(BACKEND == "postgresql", "one process owns an SQLite index")
    def test_leases_run_by_the_database_servers_clock_not_the_hosts(self):
        index = self.index()
        index.add({"id": "u", "received": 1000, "name": "App", "size": 10})
        self.assertIsNotNone(index.claim(60))
        host_time = time.time
        with mock.patch("time.time", lambda: host_time() + 3600):  # a host an hour ahead
            self.assertIsNone(index.claim(60))
            self.assertTrue(50 < index.seconds_to_next_lease_end() <= 60)
        index.close()

    def test_an_attempt_that_lost_its_lease_leaves_the_shown_files_alone(self):
        os.environ["FAKE_LLDB_STATE"] = os.path.join(self.work, "lldb-state")
        with open(os.environ["FAKE_LLDB_STATE"], "w") as f:
            f.write("ok")
        url = postgres.server().database(self.work) if BACKEND == "postgresql" else None
        inbox = Inbox(os.path.join(self.work, "store"), workers=0, database=url,
                      debugger=Debugger(program=FAKE_LLDB))
        part = inbox.store.new_incoming_file()
        part.write(zip_of([("crash.dmp", mb.sample_dump()), ("shot.bmp", b"BM" + bytes(60))]))
        upload_id = inbox.receive(part, "App", "r.zip", "127.0.0.1")
        slow = inbox.index.claim(0.2)
        time.sleep(0.3)
        dead = inbox.store.attempt_files(upload_id, "an-attempt-killed-midway")
        inbox.process(inbox.index.claim(60))  # took over from the slow one
        files = inbox.store.files_folder(upload_id)
        shown = os.stat(files).st_ino, sorted(os.listdir(files))
        self.assertEqual(len(shown[1]), 2)
        self.assertFalse(os.path.exists(dead))
        inbox.process(slow)  # the slow attempt ends after all
        self.assertEqual((os.stat(files).st_ino, sorted(os.listdir(files))), shown)
        self.assertEqual(sorted(os.listdir(inbox.store.folder(upload_id))),
                         ["files", "meta.json", "upload.bin"])
        self.assertEqual(inbox.index.report(upload_id)["state"], "processed")
        inbox.database.close()

    def test_retention_never_picks_a_report_still_waiting_for_processing(self):
        index = self.index()
        for number, state in enumerate(("processed", "unprocessed", "received")):
            index.add({"id": state, "received": 1000 + number, "name": "App", "size": 10})
        for state in ("processed", "unprocessed"):
            claimed = index.claim(60)
            index.finish(claimed["id"], claimed["claim"], state, None, None, None, {}, 10)
        self.assertEqual(sorted(index.older_than(5000)), ["processed", "unprocessed"])
        self.assertEqual(index.oldest_beyond(0), ["unprocessed", "processed"])
        index.close()


class ArchiveLimits(unittest.TestCase):
    def test_the_default_limits_take_a_full_dump_of_a_gibibyte_and_refuse_bombs(self):
        def entry(name, size, packed):
            info = zipfile.ZipInfo(name)
            info.file_size, info.compress_size = size, packed
            return info
        # The screenshot of a plain window: 101x, seen from the demo.
        report = [entry("a-full.dmp", 1 << 30, (1 << 30) // 8), entry("a.dmp", 2 << 20, 1 << 20),
                  entry("a.bmp", 344434, 3393)]
        check_entries(report, 140 << 20, Limits())
        bombs = {"200x": [entry("a.dmp", 200 << 20, 1 << 20)],
                 "41 MB to 8 GiB": [entry("%d.dmp" % n, 1 << 30, (41 << 20) // 8)
                                    for n in range(8)]}
        for name, entries in bombs.items():
            with self.subTest(name):
                with self.assertRaises(ArchiveError):
                    check_entries(entries, 41 << 20, Limits())


def encrypted(archive):
    """The archive with the encryption flag set on its entries (local and central headers)."""
    data = bytearray(archive)
    for signature, flag_at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        while at >= 0:
            data[at + flag_at] |= 1
            at = data.find(signature, at + 4)
    return bytes(data)


class ServiceCase(unittest.TestCase):
    options = ()

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-service-")
        cls.store = os.path.join(cls.work, "store")
        cls.service = Service(cls.store, options=cls.options)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)


class HostileUploads(ServiceCase):
    options = ("--max-body-bytes", str(8 << 20), "--max-unpacked-bytes", str(4 << 20))

    def test_each_hostile_upload_is_answered_and_kept_out_of_the_index(self):
        dump = mb.sample_dump()
        victim = os.path.join(self.work, "escaped.dmp")
        absolute = os.path.join(tempfile.gettempdir(), "collector-escaped-%d.dmp" % os.getpid())
        good_zip = zip_of([("a.dmp", dump)])
        cases = {
            "climbing entry": (zip_of([("../../escaped.dmp", dump)]), "climbs out"),
            "absolute entry": (zip_of([(absolute, dump)]), "absolute"),
            "drive letter entry": (zip_of([("C:\\escaped.dmp", dump)]), "absolute"),
            "zip bomb by ratio": (zip_of([("a.dmp", dump + bytes(80 << 20))]), "zip bomb"),
            "zip bomb by total": (zip_of([("a.dmp", dump + os.urandom(3 << 20)),
                                          ("b.dmp", os.urandom(2 << 20))]), "limit"),
            "encrypted": (encrypted(good_zip), "encrypted"),
            "broken archive": (good_zip[:len(good_zip) - 30], "broken"),
            "bad entry data": (good_zip[:40] + b"\xff" * 20 + good_zip[60:], "broken"),
            "archive without a dump": (zip_of([("notes.txt", b"hello")]), "no dump"),
            "truncated dump": (dump[:len(dump) // 3], "cannot read the dump"),
            "dump pointing outside itself": (
                mb.Builder().system_info().bytes(lambda i, e: (e[0], 1 << 20, e[2])),
                "cannot read the dump"),
            "neither zip nor dump": (b"hello, collector", "neither"),
        }
        ids = {}
        for name, (content, _) in cases.items():
            with self.subTest(name):
                ids[name] = self.service.stored_id(self.service.upload(content))
        for upload_id in ids.values():  # other tests of the class upload too
            self.service.wait_report(upload_id)
        for name, (_, reason) in cases.items():
            with self.subTest(name):
                report = self.service.get_json("/api/reports/" + ids[name])
                self.assertEqual(report["state"], "unprocessed", report)
                self.assertIn(reason, report["reason"])
        listed = {r["id"] for r in self.service.get_json("/api/unprocessed")}
        self.assertEqual(listed, set(ids.values()))
        self.assertFalse(set(ids.values()) & self.service.grouped_ids())
        self.assertFalse(os.path.exists(victim))
        self.assertFalse(os.path.exists(absolute))
        self.assertEqual(os.listdir(self.work), ["store"])
        for path in files_under(self.store):
            self.assertFalse(os.path.islink(path), path)

    def test_broken_requests_are_refused_and_service_goes_on(self):
        body = multipart("App", "a.zip", b"x")
        cases = [
            ("wrong boundary", body, "multipart/form-data; boundary=other", 400),
            ("no boundary", body, "multipart/form-data", 400),
            ("not multipart", body, "text/plain", 400),
            ("no file part", multipart("App", "a.zip", b"x").replace(b"crashdump", b"other"),
             "multipart/form-data; boundary=" + "-" * 27 + "1234ABCD5678EF90", 400),
        ]
        before = self.service.get_json("/api/status")
        for name, content, content_type, expected in cases:
            with self.subTest(name):
                status, text, _ = self.service.request("POST", "/store-dump/", content,
                                                       {"Content-Type": content_type})
                self.assertEqual(status, expected, text)
        self.assertEqual(self.service.get_json("/api/status"), before)
        self.assertEqual(incoming_files(self.store), [])

    def test_a_huge_content_length_is_refused_from_the_headers(self):
        # Just above --max-body-bytes, far below the HTTP server's own default limit.
        answer = headers_only(self.service.port, (8 << 20) + 1)
        self.assertTrue(answer.startswith(b"HTTP/1.1 413"), answer)
        self.assertEqual(self.service.request("GET", "/api/status")[0], 200)

    def test_a_bare_dump_is_processed(self):
        upload_id = self.service.stored_id(self.service.upload(
            mb.sample_dump(annotations=ANNOTATIONS), filename="C:\\dumps\\x.dmp"))
        report = self.service.wait_report(upload_id)
        self.assertEqual(report["state"], "processed", report)
        self.assertEqual(report["signature"], "0xC0000005 app.exe+0x1234")
        self.assertEqual(report["details"]["dump"]["annotations"][-1],
                         {"name": "ptime", "value": "12345"})
        status, dump, _ = self.service.request("GET", report["links"]["dump"])
        self.assertEqual((status, dump), (200, mb.sample_dump(annotations=ANNOTATIONS)))


    def test_the_full_dump_is_read_when_the_archive_holds_both(self):
        normal, full = mb.sample_dump(code=0xC0000005), mb.sample_dump(code=0xC0000094)
        for entries in ([("a.dmp", normal), ("a-full.dmp", full)],
                        [("a-full.dmp", full), ("a.dmp", normal)]):
            with self.subTest(first=entries[0][0]):
                report = self.service.wait_report(self.service.stored_id(
                    self.service.upload(zip_of(entries))))
                self.assertEqual(report["details"]["dump_name"], "a-full.dmp")
                self.assertEqual(report["details"]["dump"]["exception"]["code"], 0xC0000094)

    def test_markup_and_odd_names_from_an_upload_stay_text(self):
        script = "<script>alert(1)</script>"
        archive = zip_of([("a.dmp", mb.sample_dump(annotations=[("note", script)])),
                          ('x"\r\n' + script + ".txt", b"odd")])
        upload_id = self.service.stored_id(self.service.upload(archive, name=script))
        report = self.service.wait_report(upload_id)
        self.assertEqual(report["state"], "processed", report)
        for path in ("/", "/reports/" + upload_id, "/groups/" + report["group_id"]):
            with self.subTest(path):
                status, page, _ = self.service.request("GET", path)
                self.assertEqual(status, 200)
                self.assertNotIn(script.encode(), page)
                self.assertIn(b"&lt;script&gt;", page)
        status, body, headers = self.service.request("GET",
                                                     "/reports/%s/entry-1" % upload_id)
        self.assertEqual((status, body), (200, b"odd"))
        self.assertNotIn("\n", headers["Content-Disposition"])
        self.assertNotIn("<", headers["Content-Disposition"])


class Access(ServiceCase):
    options = ("--token", TOKEN)

    def test_pages_and_api_need_the_token_and_uploads_do_not(self):
        self.assertEqual(self.service.request("GET", "/")[0], 401)
        self.assertEqual(self.service.request("GET", "/api/groups")[0], 401)
        self.assertEqual(self.service.request("GET", "/?token=wrong")[0], 401)
        upload_id = self.service.stored_id(self.service.upload(zip_of([("a.dmp",
                                                                         mb.sample_dump())])))
        self.assertEqual(self.service.request("GET", "/reports/" + upload_id)[0], 401)
        status, _, headers = self.service.request("GET", "/?token=s3cret")
        self.assertEqual(status, 200)
        cookie = headers["Set-Cookie"].split(";")[0]
        self.assertEqual(self.service.request("GET", "/api/status",
                                              headers={"Cookie": cookie})[0], 200)
        self.assertEqual(self.service.request(
            "GET", "/api/reports/" + upload_id,
            headers={"Authorization": "Bearer s3cret"})[0], 200)

    def test_every_page_and_download_needs_the_token(self):
        upload_id = self.service.stored_id(self.service.upload(zip_of([
            ("a.dmp", mb.sample_dump()), ("a.bmp", b"BM" + bytes(100))])))
        report = self.service.wait_report(upload_id, headers=BEARER)
        values = {"upload_id": upload_id, "group_id": report["group_id"]}
        paths = {rule: re.sub(r"<(?:\w+:)?(\w+)>", lambda m: values.get(m.group(1), "x"), rule)
                 for rule in service_routes()}
        self.assertEqual(set(paths), PAGES_AND_DOWNLOADS)
        downloads = paths.pop("/reports/<upload_id>/<which>")
        paths.update({which: downloads.replace("/x", "/" + which)
                      for which in ("archive", "dump", "screenshot", "upload", "entry-0")})
        for rule, path in paths.items():
            with self.subTest(rule):
                self.assertEqual(self.service.request("GET", path)[0], 401)
                self.assertEqual(self.service.request("GET", path + "?token=wrong")[0], 401)
                status, _, headers = self.service.request("GET", path, headers=BEARER)
                self.assertEqual(status, 200, path)
                self.assertNotIn("Set-Cookie", headers)

    def test_it_listens_on_loopback_only(self):
        listening = listening_addresses(self.service.port)
        self.assertEqual(listening, {"127.0.0.1"})


class Unwinding(unittest.TestCase):
    """The debugger is bounded and given the symbols, through a stand-in that misbehaves."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-unwinding-")
        cls.state = os.path.join(cls.work, "lldb-state")
        os.environ["FAKE_LLDB_STATE"] = cls.state
        cls.symbols = os.path.join(cls.work, "symbols")
        os.makedirs(cls.symbols)
        for name in ("APP.EXE", "other.dll"):
            with open(os.path.join(cls.symbols, name), "wb") as f:
                f.write(b"MZ")
        cls.services = []

    @classmethod
    def tearDownClass(cls):
        for service in cls.services:
            service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def start(self, *options):
        # A symbol folder matched by file name, as before symbols were uploaded.
        service = Service(os.path.join(self.work, "store%d" % len(self.services)),
                          options=("--lldb", FAKE_LLDB, "--workers", "1", "--symbols",
                                   self.symbols) + options)
        self.services.append(service)
        return service

    def unwound(self, service, mode):
        """(report, seconds from upload to report) with the stand-in in mode."""
        with open(self.state, "w") as f:
            f.write(mode)
        began = time.monotonic()
        report = service.wait_report(service.stored_id(service.upload(mb.sample_dump())))
        return report, time.monotonic() - began

    def lldb_pid(self):
        with open(self.state + ".pid") as f:
            return int(f.read())

    def test_lldb_has_a_time_limit_a_memory_limit_and_bounded_output(self):
        service = self.start("--lldb-seconds", "4", "--lldb-memory-bytes", str(256 << 20))
        cases = {"hang": "lldb took more than 4 s", "flood": "lldb found no stack",
                 "hoard": "lldb found no stack"}
        for mode, error in cases.items():
            with self.subTest(mode):
                report, seconds = self.unwound(service, mode)
                self.assertEqual(report["state"], "processed", report)
                self.assertIn(error, report["details"]["stack"]["error"])
                if mode != "hang":  # ended by its limit, not by the clock
                    self.assertLess(seconds, 3.5)
                self.assertFalse(os.path.exists("/proc/%d" % self.lldb_pid()))

    def test_lldb_ends_with_its_collector(self):
        service = self.start("--lldb-seconds", "600")
        with open(self.state, "w") as f:
            f.write("hang")
        os.unlink(self.state + ".pid") if os.path.exists(self.state + ".pid") else None
        service.stored_id(service.upload(mb.sample_dump()))
        deadline = time.monotonic() + 30
        while not os.path.exists(self.state + ".pid"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        time.sleep(0.2)
        pid = self.lldb_pid()
        service.process.kill()
        service.process.wait(30)
        while os.path.exists("/proc/%d" % pid):
            self.assertLess(time.monotonic(), deadline, "lldb outlived its collector")
            time.sleep(0.05)

    def test_symbols_of_the_dumps_modules_reach_lldb(self):
        report, _ = self.unwound(self.start(), "symbols")
        self.assertEqual(report["signature"], "0xC0000005 app.exe!Crash()")
        self.assertEqual(report["details"]["stack"]["symbols"], ["APP.EXE"])
        with open(self.state + ".modules") as f:
            held = f.read().splitlines()
        self.assertEqual(held, ["app.exe %s" % os.path.realpath(os.path.join(self.symbols,
                                                                            "APP.EXE"))])


class SlowClients(ServiceCase):
    options = ("--connection-limit", "8", "--grace-seconds", "2", "--min-upload-rate", "1024",
               "--idle-seconds", "3")

    def test_stalled_uploads_beyond_the_connection_limit_do_not_keep_a_real_one_out(self):
        stalled = [socket.create_connection(("127.0.0.1", self.service.port), timeout=30)
                   for _ in range(12)]
        stop = threading.Event()

        def trickle():  # a byte each half second: never idle, never done
            while not stop.wait(0.5):
                for s in stalled:
                    try:
                        s.send(b"x")
                    except OSError:
                        pass

        for s in stalled:
            s.sendall(UPLOAD_HEADERS % 100000)
        trickler = threading.Thread(target=trickle)
        trickler.start()
        try:
            time.sleep(1)
            status, body, _ = self.service.upload(zip_of([("a.dmp", mb.sample_dump())]),
                                                  timeout=30)
            self.assertEqual(status, 200, body)
        finally:
            stop.set()
            trickler.join()
        for s in stalled:
            with s:
                try:
                    self.assertEqual(s.recv(4096), b"")
                except ConnectionResetError:
                    pass


class DiskFloor(ServiceCase):
    options = ("--min-free-bytes", str(1 << 60))

    def test_below_the_free_space_floor_uploads_get_507_and_nothing_is_written(self):
        answer = headers_only(self.service.port, 5 << 20)
        self.assertTrue(answer.startswith(b"HTTP/1.1 507"), answer)
        status, body, _ = self.service.upload(zip_of([("a.dmp", mb.sample_dump())]))
        self.assertEqual(status, 507, body)
        self.assertEqual(self.service.get_json("/api/status"), {})
        self.assertEqual(incoming_files(self.store), [])
        self.assertEqual(os.listdir(os.path.join(self.store, "uploads")), [])


class RetentionOfJunk(ServiceCase):
    options = ("--keep-bytes", str(100 << 10))

    def test_unprocessable_uploads_go_before_processed_reports(self):
        report = zip_of([("a.dmp", mb.sample_dump()), ("pad.bin", os.urandom(40 << 10))])
        real = self.service.stored_id(self.service.upload(report))
        self.service.wait_report(real)
        for _ in range(3):
            self.service.wait_report(self.service.stored_id(
                self.service.upload(os.urandom(40 << 10))))
        self.assertEqual(self.service.grouped_ids(), {real})
        self.assertEqual(self.service.get_json("/api/unprocessed"), [])


class RetentionBySize(ServiceCase):
    options = ("--keep-bytes", str(100 << 10))

    def test_the_oldest_reports_go_beyond_the_size_limit(self):
        ids = []
        for _ in range(4):
            # About 2 x 40 KiB stored per report (the upload and its unpacked entries).
            content = zip_of([("a.dmp", mb.sample_dump()), ("pad.bin", os.urandom(40 << 10))])
            ids.append(self.service.stored_id(self.service.upload(content)))
            self.service.wait_report(ids[-1])
        kept = self.service.grouped_ids()
        self.assertEqual(kept, {ids[-1]})
        self.assertEqual(sorted(os.listdir(os.path.join(self.store, "uploads"))), sorted(kept))


class RetentionByAge(ServiceCase):
    options = ("--keep-days", str(1.5 / 86400))

    def test_reports_older_than_the_limit_go(self):
        first = self.service.stored_id(self.service.upload(zip_of([("a.dmp",
                                                                     mb.sample_dump())])))
        self.service.wait_report(first)
        time.sleep(2)
        second = self.service.stored_id(self.service.upload(zip_of([("a.dmp",
                                                                      mb.sample_dump())])))
        deadline = time.monotonic() + 30
        while self.service.request("GET", "/api/reports/" + first)[0] != 404:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        self.assertEqual(self.service.request("GET", "/api/reports/" + second)[0], 200)
        self.assertEqual(os.listdir(os.path.join(self.store, "uploads")), [second])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
