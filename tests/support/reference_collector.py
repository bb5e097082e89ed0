#!/usr/bin/python3
"""Reference collector: receives multipart/form-data crash uploads and stores each one.

Serves POST /store-dump/ (loopback only by default). Every upload gets a folder in the store
with the raw body, the request line and headers, the form fields and the file parts exactly
as received. Bodies stream to disk and are parsed from there, so large uploads never sit in
memory. Standard library only.
"""

import argparse
import http.server
import json
import os
import socket
import sys
import threading
import time
import urllib.parse

UPLOAD_PATH = "/store-dump/"
COPY_CHUNK = 1 << 20
MAX_HEADER_BLOCK = 64 * 1024
MAX_FIELD_BYTES = 1 << 20  # larger parts without a filename are stored as files
DEFAULT_MAX_BODY = 4 << 30

# How the collector answers once it has stored an upload.
MODES = {
    "ok": "200 with a short body and its Content-Length",
    "201": "201 Created with a body",
    "204": "204 No Content",
    "500": "500 Internal Server Error with a body",
    "short": "200 announcing Content-Length 10 and sending 9 bytes, then closing",
    "nolength": "200 without Content-Length; the body ends when the connection closes",
    "close": "store the upload, then close the connection without any answer",
    "slow": "wait --delay seconds, then answer as ok",
    "stall-body": "wait --delay seconds after the request headers before reading the body",
    "huge-length": "200 announcing Content-Length 2^64, sending 9 bytes, then closing",
    "negative-length": "200 announcing Content-Length -5, sending 9 bytes, then closing",
    "giant-length": "200 announcing a 40-digit Content-Length, sending 9 bytes, then closing",
}
STATUS_OF_MODE = {"201": 201, "204": 204, "500": 500}
LYING_LENGTHS = {
    "short": "10",
    "huge-length": "18446744073709551616",
    "negative-length": "-5",
    "giant-length": "1" * 40,
}


class ParseError(Exception):
    pass


class BodyFile:
    """Random access to a body on disk, searched in bounded chunks."""

    def __init__(self, path):
        self.file = open(path, "rb")
        self.size = os.fstat(self.file.fileno()).st_size

    def close(self):
        self.file.close()

    def read(self, start, count):
        self.file.seek(start)
        return self.file.read(max(0, min(count, self.size - start)))

    def find(self, pattern, start, limit=None):
        """Offset of the first pattern that starts at or after start (and before limit),
        or -1. Windows overlap by the pattern's length, so no match is missed."""
        end = self.size if limit is None else min(self.size, limit)
        position = start
        while position < end:
            window = self.read(position, min(COPY_CHUNK, end - position) + len(pattern) - 1)
            found = window.find(pattern)
            if found >= 0:
                return position + found if position + found < end else -1
            position += COPY_CHUNK
        return -1

    def copy_to(self, start, end, path):
        with open(path, "wb") as out:
            position = start
            while position < end:
                chunk = self.read(position, min(COPY_CHUNK, end - position))
                if not chunk:
                    raise ParseError("body ended inside a part")
                out.write(chunk)
                position += len(chunk)


def boundary_of(content_type):
    """The boundary parameter of a multipart/form-data Content-Type, or None."""
    media, params = parse_header_value(content_type or "")
    if media.lower() != "multipart/form-data":
        return None
    boundary = params.get("boundary")
    if not boundary or len(boundary) > 70:
        return None
    return boundary


def parse_header_value(text):
    """'type; a=b; c="d"' -> ('type', {'a': 'b', 'c': 'd'}). Parameter names are lower-cased.

    Quoted values are taken literally up to the next double quote, as form-data senders
    write them: a backslash is a character (Windows paths), not an escape.
    """
    head, _, rest = text.partition(";")
    params = {}
    i = 0
    while i < len(rest):
        while i < len(rest) and rest[i] in " \t;":
            i += 1
        eq = rest.find("=", i)
        if eq < 0:
            break
        name = rest[i:eq].strip().lower()
        i = eq + 1
        while i < len(rest) and rest[i] in " \t":
            i += 1
        if i < len(rest) and rest[i] == '"':
            close = rest.find('"', i + 1)
            if close < 0:
                raise ParseError("unterminated quoted parameter")
            value = rest[i + 1:close]
            i = close + 1
        else:
            semi = rest.find(";", i)
            semi = len(rest) if semi < 0 else semi
            value = rest[i:semi].strip()
            i = semi
        params[name] = value
    return head.strip(), params


def parse_part_headers(block):
    """Header lines of one part (bytes, without the blank line) -> list of (name, value)."""
    text = block.decode("utf-8", errors="backslashreplace")
    headers = []
    for line in text.split("\r\n"):
        if not line:
            continue
        if line[0] in " \t" and headers:
            name, value = headers[-1]
            headers[-1] = (name, value + " " + line.strip())
            continue
        name, colon, value = line.partition(":")
        if not colon or not name.strip():
            raise ParseError("bad part header line")
        headers.append((name.strip().lower(), value.strip()))
    return headers


def split_multipart(body, boundary):
    """Offsets of every part of a multipart body: list of (headers, start, end)."""
    delimiter = b"--" + boundary
    if body.read(0, len(delimiter)) == delimiter:
        position = 0
    else:
        found = body.find(b"\r\n" + delimiter, 0)
        if found < 0:
            raise ParseError("no opening boundary")
        position = found + 2
    parts = []
    while True:
        position += len(delimiter)
        if body.read(position, 2) == b"--":
            return parts
        line_end = body.find(b"\r\n", position, position + 1024)
        if line_end < 0 or body.read(position, line_end - position).strip(b" \t"):
            raise ParseError("bad boundary line")
        headers_start = line_end + 2
        if body.read(headers_start, 2) == b"\r\n":
            headers, content_start = [], headers_start + 2
        else:
            headers_end = body.find(b"\r\n\r\n", headers_start, headers_start + MAX_HEADER_BLOCK)
            if headers_end < 0:
                raise ParseError("part headers do not end")
            headers = parse_part_headers(body.read(headers_start, headers_end - headers_start))
            content_start = headers_end + 4
        next_delimiter = body.find(b"\r\n" + delimiter, content_start)
        if next_delimiter < 0:
            raise ParseError("part does not end with a boundary")
        parts.append((headers, content_start, next_delimiter))
        position = next_delimiter + 2


def store_parts(body, boundary, folder):
    """Writes fields.json and the file parts; returns the part list for upload.json."""
    fields = {}
    listing = []
    file_count = 0
    for headers, start, end in split_multipart(body, boundary):
        header_map = dict(headers)
        disposition, params = parse_header_value(header_map.get("content-disposition", ""))
        if disposition.lower() != "form-data" or "name" not in params:
            raise ParseError("part without form-data name")
        entry = {"name": params["name"], "size": end - start}
        if "content-type" in header_map:
            entry["content_type"] = header_map["content-type"]
        if "filename" in params or end - start > MAX_FIELD_BYTES:
            file_count += 1
            stored = "file.bin" if file_count == 1 else "file-%d.bin" % file_count
            body.copy_to(start, end, os.path.join(folder, stored))
            entry["filename"] = params.get("filename")
            entry["stored_as"] = stored
        else:
            value = body.read(start, end - start)
            fields[params["name"]] = value.decode("utf-8", errors="replace")
            entry["utf8"] = is_utf8(value)
        listing.append(entry)
    write_json(os.path.join(folder, "fields.json"), fields)
    return listing


def is_utf8(data):
    try:
        data.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def write_json(path, value):
    with open(path, "w", encoding="utf-8") as out:
        json.dump(value, out, ensure_ascii=False, indent=1)
        out.write("\n")


class Collector(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, store, mode, mode_from_query, delay, max_body, verbose):
        super().__init__(address, Handler)
        self.store = store
        self.mode = mode
        self.mode_from_query = mode_from_query
        self.delay = delay
        self.max_body = max_body
        self.verbose = verbose
        self.lock = threading.Lock()
        self.next_number = 1
        self.events = open(os.path.join(store, "events.jsonl"), "a", encoding="utf-8")

    def event(self, **fields):
        fields["time"] = round(time.time(), 3)
        with self.lock:
            self.events.write(json.dumps(fields) + "\n")
            self.events.flush()

    def new_upload_folder(self):
        with self.lock:
            while True:
                name = "%04d" % self.next_number
                self.next_number += 1
                path = os.path.join(self.store, name)
                try:
                    os.mkdir(path)
                    return name, path
                except FileExistsError:
                    continue


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ReferenceCollector/1.0"
    timeout = 60  # a silent client cannot hold a thread for ever

    def setup(self):
        super().setup()
        self.server.event(event="connection", client="%s:%d" % self.client_address[:2])

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write("collector: %s\n" % (format % args))

    def do_GET(self):
        if urllib.parse.urlsplit(self.path).path != "/":
            return self.answer(404, b"not found\n")
        self.answer(200, b"reference collector: POST multipart/form-data to /store-dump/\n")

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != UPLOAD_PATH:
            self.close_connection = True
            return self.answer(404, b"not found\n")
        mode = self.server.mode
        if self.server.mode_from_query:
            mode = urllib.parse.parse_qs(url.query).get("mode", [mode])[0]
        if mode not in MODES:
            self.close_connection = True
            return self.answer(400, b"unknown mode\n")

        number, folder = self.server.new_upload_folder()
        write_json(os.path.join(folder, "request.json"), {
            "method": self.command, "path": self.path, "version": self.request_version,
            "client": "%s:%d" % self.client_address[:2],
            "headers": [[name, value] for name, value in self.headers.items()],
        })
        self.server.event(event="headers", id=number, path=self.path)
        if mode == "stall-body":
            time.sleep(self.server.delay)

        report = {"id": number, "mode": mode}
        status = self.receive(folder, report)
        if status is None:
            self.close_connection = True
            return self.finish_upload(folder, report, None)
        if status == 200 and mode in STATUS_OF_MODE:
            status = STATUS_OF_MODE[mode]
        if mode == "close":
            self.close_connection = True
            return self.finish_upload(folder, report, None)
        self.finish_upload(folder, report, status)
        if mode == "slow":
            time.sleep(self.server.delay)
        text = ("stored %s\n" % number if report.get("parsed") else
                "refused: %s\n" % report.get("error", "bad request")).encode()
        if mode in LYING_LENGTHS and status == 200:
            self.close_connection = True
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", LYING_LENGTHS[mode])
            self.end_headers()
            self.wfile.write(b"truncated")
        elif mode == "nolength" and status == 200:
            self.close_connection = True
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(text)
        else:
            self.answer(status, text)

    def receive(self, folder, report):
        """Streams the body to body.bin and parses it. The status to answer, or None when
        the body did not arrive whole (then nothing is answered)."""
        announced = self.headers.get("Content-Length")
        chunked = "chunked" in self.headers.get("Transfer-Encoding", "").lower()
        report["chunked"] = chunked
        body_path = os.path.join(folder, "body.bin")
        if chunked:
            complete, received = self.copy_chunked(body_path)
        elif announced is not None and announced.strip().isdigit():
            length = int(announced)
            report["announced_bytes"] = length
            if length > self.server.max_body:
                report["error"] = "body too large"
                self.close_connection = True
                return 413
            complete, received = self.copy_exact(body_path, length)
        else:
            report["error"] = "no Content-Length"
            self.close_connection = True
            return 411
        report["received_bytes"] = received
        report["complete"] = complete
        if not complete:
            return None

        boundary = boundary_of(self.headers.get("Content-Type"))
        if boundary is None:
            report["error"] = "not multipart/form-data with a boundary"
            return 400
        body = BodyFile(body_path)
        try:
            report["parts"] = store_parts(body, boundary.encode("latin-1"),
                                          folder)
            report["parsed"] = True
        except ParseError as error:
            report["parsed"] = False
            report["error"] = str(error)
            return 400
        finally:
            body.close()
        return 200

    def copy_exact(self, path, length):
        received = 0
        with open(path, "wb") as out:
            while received < length:
                try:
                    chunk = self.rfile.read1(min(COPY_CHUNK, length - received))
                except (OSError, socket.timeout):
                    chunk = b""
                if not chunk:
                    return False, received
                out.write(chunk)
                received += len(chunk)
        return True, received

    def copy_chunked(self, path):
        received = 0
        with open(path, "wb") as out:
            try:
                while True:
                    line = self.rfile.readline(1024)
                    size_text = line.split(b";")[0].strip()
                    if not line.endswith(b"\n") or not size_text:
                        return False, received
                    size = int(size_text, 16)
                    if size == 0:
                        while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                            pass
                        return True, received
                    if received + size > self.server.max_body:
                        return False, received
                    while size > 0:
                        chunk = self.rfile.read1(min(COPY_CHUNK, size))
                        if not chunk:
                            return False, received
                        out.write(chunk)
                        received += len(chunk)
                        size -= len(chunk)
                    if self.rfile.readline(8) not in (b"\r\n", b"\n"):
                        return False, received
            except (OSError, ValueError, socket.timeout):
                return False, received

    def finish_upload(self, folder, report, status):
        report["answer"] = status
        write_json(os.path.join(folder, "upload.json"), report)
        self.server.event(event="stored", id=report["id"], complete=report.get("complete"),
                          status=status)

    def answer(self, status, body):
        self.send_response(status)
        if status != 204:
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if status != 204:
            self.wfile.write(body)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, loopback only)")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on; 0 picks a free one (default: 0)")
    parser.add_argument("--store", required=True, help="folder that receives the uploads")
    parser.add_argument("--mode", default="ok", choices=sorted(MODES),
                        help="how to answer uploads: " + "; ".join(
                            "%s = %s" % item for item in MODES.items()))
    parser.add_argument("--mode-from-query", action="store_true",
                        help="let a ?mode=NAME query of each request choose its answer")
    parser.add_argument("--delay", type=float, default=2.0,
                        help="seconds of waiting for slow and stall-body (default: 2)")
    parser.add_argument("--max-seconds", type=float, default=0,
                        help="stop after this many seconds (default: 0, run until stopped)")
    parser.add_argument("--max-body-bytes", type=int, default=DEFAULT_MAX_BODY,
                        help="refuse larger bodies with 413 (default: 4 GiB)")
    parser.add_argument("--verbose", action="store_true", help="log each request to stderr")
    args = parser.parse_args(argv)

    os.makedirs(args.store, exist_ok=True)
    server = Collector((args.host, args.port), args.store, args.mode, args.mode_from_query,
                       args.delay, args.max_body_bytes, args.verbose)
    host, port = server.server_address[:2]
    print("listening %s:%d" % (host, port), flush=True)
    if args.max_seconds > 0:
        timer = threading.Timer(args.max_seconds, server.shutdown)
        timer.daemon = True
        timer.start()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
