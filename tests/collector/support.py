"""What the collector's test drivers share: the service as a child process, uploads the way
the reporter sends them, and waiting for processing."""

import http.client
import io
import json
import os
import re
import sys
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "collector"))
import demo  # noqa: E402
import postgres  # noqa: E402

BOUNDARY = "---------------------------1234ABCD5678EF90"
PROCESS_SECONDS = 120


def multipart(name, filename, content, boundary=BOUNDARY):
    """The body the reporter sends: the "name" field, then the "crashdump" file part."""
    b = boundary.encode()
    return (b"--" + b + b'\r\nContent-Disposition: form-data; name="name"\r\n\r\n' +
            name.encode() + b"\r\n--" + b +
            b'\r\nContent-Disposition: form-data; name="crashdump"; filename="' +
            filename.encode() + b'"\r\nContent-Type: application/octet-stream\r\n\r\n' +
            content + b"\r\n--" + b + b"--\r\n")


def zip_of(entries):
    """entries: [(name, bytes)] deflated."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            archive.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0)), data,
                             zipfile.ZIP_DEFLATED)
    return buffer.getvalue()


# "postgresql" runs every collector of the tests on a PostgreSQL index of its own.
BACKEND = os.environ.get("COLLECTOR_DATABASE", "sqlite")
LEASE_SECONDS = 4


def database_options(store):
    """The options that put the index of the collector over store in the backend under test."""
    if BACKEND != "postgresql":
        return ()
    # A killed collector's uploads wait for their lease to end before another takes them.
    return ("--database", postgres.server().database(os.path.abspath(store)),
            "--lease-seconds", str(LEASE_SECONDS))


class Service(demo.Inbox):
    def __init__(self, store, symbols=None, options=()):
        super().__init__(store, symbols=symbols, options=tuple(options) + database_options(store))

    def request(self, method, path, body=None, headers=None, timeout=60):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read(), dict(response.getheaders())
        finally:
            connection.close()

    def upload(self, content, name="App", filename="C:\\dumps\\report.zip", boundary=BOUNDARY,
               timeout=60):
        return self.request("POST", "/store-dump/", multipart(name, filename, content, boundary),
                            {"Content-Type": "multipart/form-data; boundary=" + boundary},
                            timeout)

    def get_json(self, path, headers=None):
        status, body, _ = self.request("GET", path, headers=headers)
        assert status == 200, (path, status, body)
        return json.loads(body)

    def wait_processed(self, count, seconds=PROCESS_SECONDS):
        """The status once count uploads are processed or refused; fails on a time-out."""
        deadline = time.monotonic() + seconds
        while True:
            status = self.get_json("/api/status")
            if status.get("processed", 0) + status.get("unprocessed", 0) >= count:
                return status
            if time.monotonic() > deadline:
                raise AssertionError("not processed in time: %r" % status)
            time.sleep(0.1)

    def wait_report(self, upload_id, seconds=PROCESS_SECONDS, headers=None):
        """The report once processing has finished with it; None once retention removed it."""
        deadline = time.monotonic() + seconds
        while True:
            status, body, _ = self.request("GET", "/api/reports/" + upload_id, headers=headers)
            if status == 404:
                return None
            report = json.loads(body)
            if report["state"] != "received":
                return report
            if time.monotonic() > deadline:
                raise AssertionError("%s not processed in time" % upload_id)
            time.sleep(0.1)

    def grouped_ids(self):
        return {r["id"] for g in self.get_json("/api/groups")
                for r in self.get_json("/api/groups/" + g["group_id"])}

    def stored_id(self, answer):
        status, body, _ = answer
        assert status == 200, answer
        return body.decode().split()[1]


UPLOAD_ID = re.compile(r"^\d{8}-\d{6}-[0-9a-f]{12}$")


def files_under(folder):
    found = []
    for base, folders, names in os.walk(folder):
        for name in names + folders:
            found.append(os.path.join(base, name))
    return found


def incoming_files(store):
    """Files half received and upload staging folders (named by upload ids) with what they
    hold, in any collector's incoming folder. The temporary folders of processing under way
    (lldb's) are not leftovers."""
    incoming = os.path.join(store, "incoming")
    found = []
    for instance in os.listdir(incoming):
        folder = os.path.join(incoming, instance)
        for name in os.listdir(folder) if os.path.isdir(folder) else ():
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                found.append(path)
            elif UPLOAD_ID.match(name):
                found += [path] + files_under(path)
    return found


def in_parallel(count, clients, send):
    """send(n) for n in range(count), from clients threads at once."""
    left, lock = list(range(count)), threading.Lock()

    def client():
        while True:
            with lock:
                if not left:
                    return
                n = left.pop()
            send(n)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    return threads
