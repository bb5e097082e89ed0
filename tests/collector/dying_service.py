#!/usr/bin/python3
"""The collector service that kills itself (SIGKILL, no clean-up) at a chosen point of its
Nth upload, so a test can restart it over what a real crash leaves behind.

usage: dying_service.py <point> <N> <service arguments ...>
points: staged  (the upload staged, not yet flushed nor renamed into place)
        indexing (inside the index transaction, its row written, before COMMIT)
        processing (while it processes the upload, after answering it)
        sweeping (as retention removes a report's index row)
"""

import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "collector"))
import service  # noqa: E402
from crashinbox import inbox, index, store  # noqa: E402

POINT, NTH = sys.argv[1], int(sys.argv[2])
seen = {"count": 0}


def die_on_nth():
    seen["count"] += 1
    if seen["count"] == NTH:
        os.kill(os.getpid(), signal.SIGKILL)


def die_before(owner, name, pause=0.0):
    """owner.name kills the process on its nth call, after pause seconds."""
    original = getattr(owner, name)

    def wrapper(*arguments):
        time.sleep(pause)
        die_on_nth()
        return original(*arguments)
    setattr(owner, name, wrapper)


if POINT == "staged":
    die_before(store.Store, "place")  # staged, not yet flushed nor renamed into place
elif POINT == "indexing":
    original_add_many = index.Index.add_many

    def add_many(self, metas):
        seen["count"] += 1
        if seen["count"] == NTH:
            with self.database.transaction() as cursor:
                for meta in metas:
                    cursor.execute(index.INSERT, (meta["id"], meta["received"], meta["name"],
                                                  meta.get("filename"), meta["size"],
                                                  meta["size"], index.RECEIVED))
                os.kill(os.getpid(), signal.SIGKILL)
        return original_add_many(self, metas)
    index.Index.add_many = add_many
elif POINT == "processing":
    die_before(inbox, "process_upload", pause=0.5)  # the answer goes out first
elif POINT == "sweeping":
    die_before(index.Index, "remove")
else:
    sys.exit("unknown point " + POINT)

sys.exit(service.main(sys.argv[3:]))
