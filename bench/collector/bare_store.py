#!/usr/bin/python3
"""The baselines for the collector's throughput: a WSGI application on the same server
(Waitress, same threads) that only streams each request body to a file and answers 200;
with --fsync it flushes each body to disk before answering.

usage: bare_store.py <folder> [threads] [--fsync]
"""

import itertools
import os
import sys
import threading

import waitress

CHUNK = 1 << 20


def make_app(folder, flush):
    numbers = itertools.count()
    lock = threading.Lock()

    def app(environ, start_response):
        with lock:
            number = next(numbers)
        remaining = int(environ.get("CONTENT_LENGTH") or 0)
        source = environ["wsgi.input"]
        with open(os.path.join(folder, "%d.bin" % number), "wb") as out:
            while remaining > 0:
                chunk = source.read(min(CHUNK, remaining))
                if not chunk:
                    break
                out.write(chunk)
                remaining -= len(chunk)
            if flush:
                out.flush()
                os.fsync(out.fileno())
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "3")])
        return [b"ok\n"]
    return app


def main():
    flush = "--fsync" in sys.argv
    arguments = [a for a in sys.argv[1:] if a != "--fsync"]
    folder = arguments[0]
    threads = int(arguments[1]) if len(arguments) > 1 else 8
    os.makedirs(folder, exist_ok=True)
    server = waitress.create_server(make_app(folder, flush), host="127.0.0.1", port=0,
                                    threads=threads, max_request_body_size=2 << 30)
    print("listening 127.0.0.1:%d" % int(server.effective_port), flush=True)
    server.run()


if __name__ == "__main__":
    main()
