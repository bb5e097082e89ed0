#!/usr/bin/python3
"""The collector service that kills itself (SIGKILL, no clean-up) at a chosen point of its
Nth upload, so a test can restart it over what a real crash leaves behind.

usage: dying_service.py <point> <N> --store FOLDER <more service arguments ...>
points: staged  (the upload file written and flushed, not yet renamed into place)
        indexing (inside the index transaction, its row written, before COMMIT)
"""

import os
import signal
import sys

import support  # noqa: F401  puts the service on the path

import service
from crashinbox import index, store

POINT, NTH = sys.argv[1], int(sys.argv[2])
seen = {"count": 0}


def die_on_nth():
    seen["count"] += 1
    if seen["count"] == NTH:
        os.kill(os.getpid(), signal.SIGKILL)


if POINT == "staged":
    original_replace = os.replace

    def replace(source, target):
        if os.path.dirname(target) == os.path.abspath(os.path.join(sys.argv[4], "uploads")):
            die_on_nth()
        return original_replace(source, target)
    store.os.replace = replace
elif POINT == "indexing":
    original_write = index.Index.write

    def write(self, statements):
        if "INSERT" in statements[0][0]:
            seen["count"] += 1
            if seen["count"] == NTH:
                with self.lock:
                    self.connection.execute("BEGIN IMMEDIATE")
                    for sql, parameters in statements:
                        self.connection.execute(sql, parameters)
                    os.kill(os.getpid(), signal.SIGKILL)
        return original_write(self, statements)
    index.Index.write = write
else:
    sys.exit("unknown point " + POINT)

sys.exit(service.main(sys.argv[3:]))
