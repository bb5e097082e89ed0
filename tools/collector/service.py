#!/usr/bin/python3
"""The crash inbox: receives the reporter's uploads on POST /store-dump/, stores each durably,
reads its dump, groups crashes by signature and serves pages and a JSON API about them.

    service.py --store FOLDER [--symbols FOLDER] [--token TEXT] [--port N] ...

Prints "listening HOST:PORT" once it accepts connections.
"""

import argparse
import json
import logging
import os
import signal
import sys
import tempfile
import threading
from typing import Optional

import waitress

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from crashinbox.archive import Limits  # noqa: E402
from crashinbox.inbox import Inbox, Retention  # noqa: E402
from crashinbox.web import create_app  # noqa: E402

DEFAULT_MAX_BODY = 2 << 30
DEFAULT_THREADS = 8
CONNECTION_LIMIT = 200
CHANNEL_TIMEOUT = 120  # a silent client cannot hold a connection for ever


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", required=True, help="folder of the uploads and the index")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, loopback only)")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port (default)")
    parser.add_argument("--symbols", help="folder of module files (.exe, .dll) with debug "
                        "information; the stack then names functions")
    parser.add_argument("--token", help="require this token for the pages and the API "
                        "(?token=, a cookie, or Authorization: Bearer); uploads stay open")
    parser.add_argument("--max-body-bytes", type=int, default=DEFAULT_MAX_BODY,
                        help="refuse larger request bodies from their headers (default: 2 GiB)")
    parser.add_argument("--keep-days", type=float, default=0,
                        help="delete reports older than this (default: 0, keep them)")
    parser.add_argument("--keep-bytes", type=int, default=0,
                        help="delete the oldest reports beyond this total (default: 0, no limit)")
    parser.add_argument("--max-ratio", type=int, default=Limits.max_ratio,
                        help="refuse archive entries that expand more than this many times")
    parser.add_argument("--max-unpacked-bytes", type=int, default=Limits.max_total,
                        help="refuse archives that unpack to more than this")
    parser.add_argument("--threads", type=int, default=DEFAULT_THREADS,
                        help="requests handled at once")
    parser.add_argument("--workers", type=int, default=2, help="uploads processed at once")
    parser.add_argument("--max-seconds", type=float, default=0,
                        help="stop after this many seconds (default: 0, run until stopped)")
    return parser.parse_args(argv)


def main(argv: Optional[list] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(level=logging.WARNING, format="collector: %(message)s")
    inbox = Inbox(args.store, symbols=args.symbols and os.path.abspath(args.symbols),
                  limits=Limits(args.max_ratio, args.max_unpacked_bytes),
                  retention=Retention(args.keep_days, args.keep_bytes), workers=args.workers)
    recovered = inbox.recover()
    # Waitress spills request bodies above half a megabyte to temporary files: they go on the
    # store's disk, sized for uploads, rather than wherever TMPDIR points.
    tempfile.tempdir = inbox.store.incoming
    app = create_app(inbox, args.token, args.max_body_bytes)
    server = waitress.create_server(app, host=args.host, port=args.port, threads=args.threads,
                                    max_request_body_size=args.max_body_bytes,
                                    connection_limit=CONNECTION_LIMIT,
                                    channel_timeout=CHANNEL_TIMEOUT, ident="crash-inbox")
    print("recovered %s" % json.dumps(recovered), file=sys.stderr, flush=True)
    print("listening %s:%d" % (args.host, int(server.effective_port)), flush=True)
    if args.max_seconds > 0:
        timer = threading.Timer(args.max_seconds, os.kill, (os.getpid(), signal.SIGTERM))
        timer.daemon = True
        timer.start()
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
