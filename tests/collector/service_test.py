#!/usr/bin/python3
"""The collector service without Wine: its dump reader on dumps built from the published
layout, signatures, hostile uploads against the running service, access and retention.

usage: service_test.py
"""

import io
import os
import shutil
import socket
import struct
import sys
import tempfile
import time
import unittest

import minidump_builder as mb
from support import Service, files_under, multipart, zip_of

from crashinbox.minidump import DumpError, exception_name, read_minidump
from crashinbox.signature import crash_signature, group_id
from crashinbox.stack import parse_backtrace

ANNOTATIONS = [("build", "1.2.3-beta"), ("", "left out"), ("user", "Gr\u00fc\u00dfe"),
               ("ptime", "12345")]
LLDB_OUTPUT = """(lldb) thread backtrace
* thread #1, stop reason = Exception 0xc0000005 encountered at address 0x401234
  * frame #0: 0x00401234 app.exe`(anonymous namespace)::Crash() + 4 at main.cpp:10
    frame #1: 0x00401300 app.exe`wmain
    frame #2: 0x760293e0 kernel32.dll
"""


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
            "zip bomb by ratio": (zip_of([("a.dmp", dump + bytes(20 << 20))]), "zip bomb"),
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
        self.service.wait_processed(len(cases))
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
        self.assertEqual(os.listdir(os.path.join(self.store, "incoming")), [])

    def test_a_huge_content_length_is_refused_from_the_headers(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=30) as s:
            s.sendall(b"POST /store-dump/ HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/"
                      b"form-data; boundary=b\r\nContent-Length: 99999999999999\r\n\r\n")
            answer = s.recv(4096)
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
    options = ("--token", "s3cret")

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

    def test_it_listens_on_loopback_only(self):
        self.assertRegex(self.service.host, r"^http://127\.0\.0\.1:\d+$")


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
