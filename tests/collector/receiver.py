"""A webhook receiver for the tests: an HTTP server on 127.0.0.1 that records each JSON POST,
and can answer the first ones with 500 or hold requests unanswered."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Receiver:
    def __init__(self, fail_first=0, hold=None):
        """fail_first: answer that many requests 500; hold: an Event that requests wait for
        before they are answered."""
        self.events, self.attempts = [], 0
        self.lock = threading.Lock()
        self.fail_first, self.hold = fail_first, hold
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if receiver.hold is not None:
                    receiver.hold.wait(120)
                with receiver.lock:
                    receiver.attempts += 1
                    failing = receiver.attempts <= receiver.fail_first
                    if not failing:
                        receiver.events.append(json.loads(body))
                self.send_response(500 if failing else 204)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *arguments):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d/hook" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def wait_for(self, count, seconds=60):
        """The events once count have arrived; fails on a time-out."""
        deadline = time.monotonic() + seconds
        while True:
            with self.lock:
                if len(self.events) >= count:
                    return list(self.events)
            if time.monotonic() > deadline:
                raise AssertionError("%d of %d events arrived" % (len(self.events), count))
            time.sleep(0.05)

    def stop(self):
        if self.hold is not None:
            self.hold.set()
        self.server.shutdown()
        self.server.server_close()
