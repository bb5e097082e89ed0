#!/usr/bin/python3
"""The baseline for the collector's throughput: a WSGI application on the same server
(Waitress, same threads) that only streams each request body to a file and answers 200.

usage: bare_store.py <folder> [threads]
"""

import itertools
import os
import sys
import threading

import waitress

CHUNK = 1 << 20


def make_app(folder):
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
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "3")])
        return [b"ok\n"]
    return app


def main():
    folder = sys.argv[1]
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    os.makedirs(folder, exist_ok=True)
    server = waitress.create_server(make_app(folder), host="127.0.0.1", port=0,
                                    threads=threads, max_request_body_size=2 << 30)
    print("listening 127.0.0.1:%d" % int(server.effective_port), flush=True)
    server.run()


if __name__ == "__main__":
    main()
