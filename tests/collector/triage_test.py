#!/usr/bin/python3
"""What a team decides with: versions and regressions, filters and search, hang signatures,
scoped tokens and upload rate limits, through real uploads to the running service.

usage: triage_test.py
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import minidump_builder as mb
from support import ROOT, Service, files_under, incoming_files, zip_of

from crashinbox.minidump import exception_name
from crashinbox.signature import crash_signature, group_id
from crashinbox.versions import is_later, report_version, version_key

ADMIN, READ, UPLOAD = "admin-token-1", "read-token-22", "upload-token-333"
NO_LLDB = ("--lldb", "/bin/false")  # frames are module + offset; quick
SERVICE = os.path.join(ROOT, "collector", "service.py")


def bearer(token):
    return {"Authorization": "Bearer " + token}


def crash(version, code=0xC0000005, address=0x00401234, annotations=None):
    return zip_of([("a.dmp", mb.app_dump(version, code, address, annotations))])


class Versions(unittest.TestCase):
    def test_versions_compare_numerically_per_component(self):
        self.assertTrue(is_later("1.10", "1.9"))
        self.assertTrue(is_later("2.0.0.1", "2"))
        self.assertFalse(is_later("1.2", "1.2.0.0"))
        self.assertEqual(version_key("1.2"), version_key("1.2.0"))
        self.assertFalse(is_later("1.2.9", "1.3"))
        self.assertFalse(is_later(None, "1.0"))  # an unknown version never reopens
        self.assertFalse(is_later("1.0", None))
        self.assertLess(version_key("1.2.3"), version_key("1.2.3-beta"))

    def test_the_version_annotation_wins_over_the_main_modules_file_version(self):
        dump = {"modules": [{"file_version": "1.2.3.4"}, {"file_version": "10.0.0.1"}],
                "annotations": [{"name": "version", "value": " 2.0-rc1 "}]}
        self.assertEqual(report_version(dump), "2.0-rc1")
        self.assertEqual(report_version(dict(dump, annotations=None)), "1.2.3.4")
        self.assertIsNone(report_version({"modules": [], "annotations": None}))


class Hangs(unittest.TestCase):
    def hang(self, address=mb.SYSTEM_BASE + 0x9F3A4):
        from crashinbox.minidump import read_minidump
        import io
        return read_minidump(io.BytesIO(mb.app_dump(code=mb.HANG, address=address)))

    def test_a_hang_is_named_by_the_first_frame_outside_the_system(self):
        dump = self.hang()
        self.assertEqual(dump["exception"]["name"], "application hang")
        self.assertEqual(exception_name(mb.HANG), "application hang")
        frames = [{"module": "ntdll.dll", "offset": 0x9F3A4, "function": "NtWaitForSingleObject"},
                  {"module": "KERNELBASE.dll", "offset": 0x100, "function": "WaitForSingleObjectEx"},
                  {"module": "USER32.dll", "offset": 0x200, "function": None},
                  {"module": "app.exe", "offset": 0x1500, "function": "BlockWindow(ms=5000)"},
                  {"module": "app.exe", "offset": 0x1600, "function": "wmain"}]
        self.assertEqual(crash_signature(dump["exception"], frames), "hang app.exe!BlockWindow()")
        unnamed = [dict(f, function=None) for f in frames]
        self.assertEqual(crash_signature(dump["exception"], unnamed), "hang app.exe+0x1500")
        # Without a stack, where the thread waits.
        self.assertEqual(crash_signature(dump["exception"], []), "hang ntdll.dll+0x9F3A4")

    def test_hangs_and_crashes_at_one_place_group_apart(self):
        crashed = dict(self.hang(0x00401234)["exception"], code=0xC0000005,
                       code_text="0xC0000005")
        hung = self.hang(0x00401234)["exception"]
        self.assertEqual(crash_signature(crashed, []), "0xC0000005 app.exe+0x1234")
        self.assertEqual(crash_signature(hung, []), "hang app.exe+0x1234")


class ServiceCase(unittest.TestCase):
    options = ()

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-triage-")
        cls.store = os.path.join(cls.work, "store")
        cls.service = Service(cls.store, options=NO_LLDB + cls.options)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def report(self, content, name="App"):
        return self.service.wait_report(self.service.stored_id(self.service.upload(content,
                                                                                   name=name)))


class Regressions(ServiceCase):
    def state(self, group, state, version=None, token=None):
        body = json.dumps({"state": state, "version": version}).encode()
        headers = {"Content-Type": "application/json", **(bearer(token) if token else {})}
        return self.service.request("POST", "/api/groups/%s/state" % group, body, headers)

    def overview(self, group):
        return self.service.get_json("/api/groups/%s/overview" % group)

    def test_new_in_a_version_resolved_then_seen_later_regresses_and_older_does_not(self):
        first = self.report(crash((1, 2, 0, 0), address=0x00401500))
        self.assertEqual(first["state"], "processed", first)
        self.assertEqual(first["details"]["version"], "1.2.0.0")
        group = first["group_id"]
        self.assertEqual(self.overview(group)["first_version"], "1.2.0.0")
        self.assertEqual(self.overview(group)["state"], "open")
        status, body, _ = self.state(group, "resolved", "1.3")
        self.assertEqual(status, 200, body)
        for version in ((1, 2, 9, 0), (1, 3, 0, 0)):  # older, and the fixed version itself
            self.report(crash(version, address=0x00401500))
            self.assertEqual((self.overview(group)["state"], self.overview(group)["resolved_in"]),
                             ("resolved", "1.3"), version)
        self.report(crash((1, 10, 0, 0), address=0x00401500))  # 1.10 is later than 1.3
        overview = self.overview(group)
        self.assertEqual((overview["state"], overview["regressed_in"]), ("regressed", "1.10.0.0"))
        self.assertEqual([(v["version"], v["count"]) for v in overview["versions"]],
                         [("1.10.0.0", 1), ("1.3.0.0", 1), ("1.2.9.0", 1), ("1.2.0.0", 1)])
        listed = [g for g in self.service.get_json("/api/groups") if g["group_id"] == group]
        self.assertEqual((listed[0]["group_state"], listed[0]["count"]), ("regressed", 4))
        # Open again, then resolved once more: a later version regresses it again.
        self.assertEqual(self.state(group, "open")[0], 200)
        self.assertEqual(self.overview(group)["state"], "open")

    def test_the_annotation_names_the_version_and_a_group_is_new_in_it(self):
        report = self.report(crash((1, 0, 0, 0), address=0x00401600,
                                   annotations=[("version", "2.5.1")]))
        self.assertEqual(report["details"]["version"], "2.5.1")
        self.assertEqual(self.overview(report["group_id"])["first_version"], "2.5.1")

    def test_bad_state_changes_are_refused(self):
        group = self.report(crash((1, 0, 0, 0), address=0x00401700))["group_id"]
        cases = {"no version": ("resolved", None, 400), "unknown state": ("closed", "1", 400),
                 "unknown group": ("resolved", "1", 404)}
        for name, (state, version, expected) in cases.items():
            with self.subTest(name):
                target = "0" * 16 if name == "unknown group" else group
                self.assertEqual(self.state(target, state, version)[0], expected)
        status, text, _ = self.service.request("POST", "/api/groups/%s/state" % group, b"[1",
                                               {"Content-Type": "application/json"})
        self.assertEqual(status, 400)
        self.assertIn(b"JSON", text)
        self.assertEqual(self.overview(group)["state"], "open")


class Filters(ServiceCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        uploads = [("Editor", (1, 0, 0, 0), 0xC0000005, 0x00401100, [("user", "ann")]),
                   ("Editor", (1, 1, 0, 0), 0xC0000005, 0x00401100, [("user", "bob")]),
                   ("Editor", (1, 1, 0, 0), 0xC0000094, 0x00402200, None),
                   ("Viewer", (3, 0, 0, 0), mb.HANG, mb.SYSTEM_BASE + 0x500, [("hang.thread", "200")]),
                   ("Viewer", (3, 0, 0, 0), 0xC0000094, 0x00402200, [("user", "ann")])]
        cls.ids = [cls.service.stored_id(cls.service.upload(crash(v, code, address, notes),
                                                            name=app))
                   for app, v, code, address, notes in uploads]
        for upload_id in cls.ids:
            cls.service.wait_report(upload_id)

    def api(self, path, **filters):
        return self.service.get_json(path + "?" + urllib.parse.urlencode(filters))

    def reports(self, **filters):
        return sorted(self.ids.index(r["id"]) for r in self.api("/api/reports", **filters))

    def test_each_filter_narrows_the_reports(self):
        today = time.strftime("%Y-%m-%d", time.gmtime())
        tomorrow = time.strftime("%Y-%m-%d", time.gmtime(time.time() + 86400))
        yesterday = time.strftime("%Y-%m-%d", time.gmtime(time.time() - 86400))
        cases = [({"app": "Editor"}, [0, 1, 2]), ({"version": "1.1.0.0"}, [1, 2]),
                 ({"app": "Viewer", "version": "3.0.0.0"}, [3, 4]),
                 ({"q": "APP.EXE+0x2200"}, [2, 4]), ({"q": "hang"}, [3]),
                 ({"q": "%"}, []), ({"q": "_"}, []),  # no wildcards from the query
                 ({"code": "0xC0000094"}, [2, 4]), ({"code": "hang"}, [3]),
                 ({"code": str(0xC0000005)}, [0, 1]),
                 ({"annotation": "user"}, [0, 1, 4]),
                 ({"annotation": "user", "value": "ann"}, [0, 4]),
                 ({"since": today, "until": today}, [0, 1, 2, 3, 4]),
                 ({"since": tomorrow}, []), ({"until": yesterday}, []),
                 ({"app": "Nobody"}, [])]
        for filters, expected in cases:
            with self.subTest(**filters):
                self.assertEqual(self.reports(**filters), expected)

    def test_groups_count_only_the_reports_the_filter_lets_through(self):
        groups = {g["signature"]: g["count"] for g in self.api("/api/groups", app="Editor")}
        self.assertEqual(groups, {"0xC0000005 app.exe+0x1100": 2, "0xC0000094 app.exe+0x2200": 1})
        groups = {g["signature"]: g["count"] for g in self.api("/api/groups", code="0xC0000094")}
        self.assertEqual(groups, {"0xC0000094 app.exe+0x2200": 2})
        group = group_id("0xC0000005 app.exe+0x1100")
        self.assertEqual(len(self.api("/api/groups/" + group, version="1.0.0.0")), 1)
        self.assertEqual(self.api("/api/groups/" + group, version="9"), [])
        days = self.api("/api/days", app="Viewer")
        self.assertEqual((len(days), days[-1]["count"], sum(d["count"] for d in days)), (30, 2, 2))

    def test_the_pages_filter_the_same_way(self):
        status, page, _ = self.service.request("GET", "/?app=Viewer")
        self.assertEqual(status, 200)
        self.assertIn(b"hang ntdll.dll+0x500", page)
        self.assertNotIn(b"app.exe+0x1100", page)
        self.assertEqual(page.count(b'<svg xmlns="http://www.w3.org/2000/svg" class="spark"'), 2)
        self.assertEqual(page.count(b'class="chart"'), 1)  # the whole inbox's
        group = group_id("0xC0000005 app.exe+0x1100")
        status, page, _ = self.service.request("GET", "/groups/%s?version=1.1.0.0" % group)
        self.assertEqual(status, 200)
        self.assertEqual(page.count(b'class="report"'), 1)
        self.assertEqual(page.count(b'class="version"'), 2)  # the version table stays whole
        status, page, _ = self.service.request("GET", "/groups/%s" % self.group_of_hang())
        self.assertIn(b"application hang", page)

    def group_of_hang(self):
        return self.service.get_json("/api/reports/" + self.ids[3])["group_id"]

    def test_bad_filters_are_refused_with_the_reason(self):
        cases = {"code=xyz": b"exception code", "since=2024-13-01": b"date",
                 "since=yesterday": b"date", "state=closed": b"state",
                 "value=ann": b"annotation", "order=sideways": b"order",
                 "since=2024-02-02&until=2024-01-01": b"before",
                 "q=" + "x" * 300: b"longer", "code=0x1FFFFFFFF": b"32 bits"}
        for query, reason in cases.items():
            for path in ("/api/groups?", "/api/reports?", "/?"):
                if "order" in query and path == "/api/reports?":
                    continue  # reports come newest first, with no choice
                with self.subTest(path + query):
                    status, text, _ = self.service.request("GET", path + query)
                    self.assertEqual(status, 400, text)
                    self.assertIn(reason, text)
                    self.assertTrue(text.startswith(b"refused: "), text)


def write_tokens(folder, lines):
    path = os.path.join(folder, "tokens")
    with open(path, "w") as f:
        f.write("# scope[,scope] token\n\n" + "".join(line + "\n" for line in lines))
    return path


class Scopes(ServiceCase):
    @classmethod
    def setUpClass(cls):
        cls.work_tokens = tempfile.mkdtemp(prefix="collector-tokens-")
        tokens = write_tokens(cls.work_tokens, ["admin " + ADMIN, "read " + READ,
                                                "upload " + UPLOAD])
        cls.options = ("--tokens", tokens, "--token", "old-read-token")
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.work_tokens, ignore_errors=True)

    def upload(self, token=None):
        headers = {"Content-Type": "multipart/form-data; boundary=" + "-" * 27 +
                   "1234ABCD5678EF90", **(bearer(token) if token else {})}
        from support import multipart
        return self.service.request("POST", "/store-dump/",
                                    multipart("App", "a.zip", crash((1, 0, 0, 0))), headers)

    def test_each_route_answers_by_the_scope_of_the_token(self):
        status, body, _ = self.upload(UPLOAD)
        self.assertEqual(status, 200, body)
        report = self.service.wait_report(body.decode().split()[1], headers=bearer(READ))
        group = report["group_id"]
        resolve = json.dumps({"state": "resolved", "version": "2"}).encode()
        json_type = {"Content-Type": "application/json"}
        cases = [  # (what, method, path, body, token, status)
            ("upload without a token", "upload", None, None, None, 401),
            ("upload with the read token", "upload", None, None, READ, 403),
            ("upload with a wrong token", "upload", None, None, "nothing-of-ours", 401),
            ("pages without a token", "GET", "/", None, None, 401),
            ("pages with the upload token", "GET", "/", None, UPLOAD, 403),
            ("pages with the read token", "GET", "/", None, READ, 200),
            ("pages with --token", "GET", "/api/groups", None, "old-read-token", 200),
            ("pages with the admin token", "GET", "/groups/" + group, None, ADMIN, 200),
            ("resolving with the read token", "POST", "/api/groups/%s/state" % group,
             resolve, READ, 403),
            ("resolving with --token", "POST", "/api/groups/%s/state" % group,
             resolve, "old-read-token", 403),
            ("the page's form with the read token", "POST", "/groups/%s/state" % group,
             b"state=resolved&version=2", READ, 403),
            ("deliveries with the read token", "GET", "/api/webhooks", None, READ, 403),
            ("symbols with the admin token", "POST", "/symbols/", b"", ADMIN, 403),
            ("resolving with the admin token", "POST", "/api/groups/%s/state" % group,
             resolve, ADMIN, 200),
        ]
        for what, method, path, body, token, expected in cases:
            with self.subTest(what):
                if method == "upload":
                    status, text, headers = self.upload(token)
                else:
                    headers = dict(json_type if path.startswith("/api") else
                                   {"Content-Type": "application/x-www-form-urlencoded"},
                                   **(bearer(token) if token else {}))
                    status, text, headers = self.service.request(method, path, body, headers)
                self.assertEqual(status, expected, text)
        self.assertEqual(len(os.listdir(os.path.join(self.store, "uploads"))), 1)
        self.assertEqual(incoming_files(self.store), [])

    def test_only_admin_routes_change_things(self):
        from crashinbox.inbox import Inbox
        from crashinbox.web import create_app
        inbox = Inbox(os.path.join(self.work, "routes"))
        app = create_app(inbox)
        admin = {r.rule for r in app.url_map.iter_rules() if r.endpoint != "static" and
                 getattr(app.view_functions[r.endpoint], "required_scope", None) == "admin"}
        self.assertEqual(admin, {"/groups/<group_id>/state", "/api/groups/<group_id>/state",
                                 "/api/webhooks"})
        changing = {r.rule for r in app.url_map.iter_rules() if "POST" in r.methods}
        self.assertEqual(changing - admin, {"/store-dump/", "/symbols/"})

    def test_a_bad_tokens_file_stops_the_start_and_names_no_token(self):
        secret = "short"
        path = write_tokens(self.work_tokens, ["read,writer longenough-secret", "read " + secret])
        done = subprocess.run([sys.executable, SERVICE, "--store",
                               os.path.join(self.work, "bad"), "--tokens", path],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 2)
        self.assertIn("unknown scope 'writer'", done.stderr)
        self.assertNotIn("longenough-secret", done.stderr + done.stdout)


class RateLimit(ServiceCase):
    options = ("--upload-rate", "0.01", "--upload-burst", "2")

    def test_an_application_beyond_its_rate_gets_429_and_others_do_not(self):
        answers = [self.service.upload(crash((1, 0, 0, 0)), name="Busy") for _ in range(4)]
        self.assertEqual([a[0] for a in answers], [200, 200, 429, 429])
        retry = int(answers[2][2]["Retry-After"])
        self.assertTrue(50 <= retry <= 100, retry)  # one upload per 100 s, and a bit used
        self.assertIn(b"rate", answers[2][1])
        self.assertEqual(self.service.upload(crash((1, 0, 0, 0)), name="Quiet")[0], 200)
        self.assertEqual(len(os.listdir(os.path.join(self.store, "uploads"))), 3)
        self.assertEqual(incoming_files(self.store), [])
        self.service.wait_processed(3)
        self.assertEqual(self.service.get_json("/api/status"), {"processed": 3})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
