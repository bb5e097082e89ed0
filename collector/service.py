#!/usr/bin/python3
"""The crash inbox: receives the reporter's uploads on POST /store-dump/, stores each durably,
reads its dump, groups crashes by signature and serves pages and a JSON API about them.

    service.py [serve] --store FOLDER [--database postgresql://...] [--token TEXT]
        [--tokens FILE] [--webhook URL ...] [--upload-rate R --upload-burst N] ...
    service.py work --store FOLDER --database postgresql://... [--workers N]
    service.py upload-symbols FOLDER URL --symbol-token TEXT

serve prints "listening HOST:PORT" once it accepts connections; work (processing only, for a
store and database that collectors share) prints "working".
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from crashinbox.alerts import Delivery  # noqa: E402
from crashinbox.archive import Limits  # noqa: E402
from crashinbox.inbox import (DEFAULT_LEASE_SECONDS, DEFAULT_MIN_FREE_BYTES, Inbox,  # noqa: E402
                              Retention)
from crashinbox.upload_symbols import main as upload_symbols_main  # noqa: E402
from crashinbox.server import ClientLimits, make_server  # noqa: E402
from crashinbox.stack import Debugger  # noqa: E402
from crashinbox.web import DEFAULT_MAX_SYMBOL_BYTES, UPLOAD_PATH, create_app  # noqa: E402
from crashinbox.web.access import Tokens, TokenFileError, read_tokens_file  # noqa: E402
from crashinbox.web.limits import UploadLimiter  # noqa: E402

DEFAULT_MAX_BODY = 2 << 30
DEFAULT_THREADS = 8
COMMANDS = ("serve", "work", "upload-symbols")


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", required=True, help="folder of the uploads and the index")
    parser.add_argument("--database", help="postgresql://... for an index that several "
                        "collectors and workers share (default: SQLite in the store)")
    parser.add_argument("--lease-seconds", type=float, default=DEFAULT_LEASE_SECONDS,
                        help="a worker that stops answering loses its upload after this long")
    parser.add_argument("--symbol-token", help="accept symbol uploads on POST /symbols/ "
                        "with Authorization: Bearer TEXT")
    parser.add_argument("--max-symbol-bytes", type=int, default=DEFAULT_MAX_SYMBOL_BYTES,
                        help="largest symbol upload (default: 1 GiB)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, loopback only)")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port (default)")
    parser.add_argument("--symbols", help="folder of module files (.exe, .dll) with debug "
                        "information; the stack then names functions")
    parser.add_argument("--token", help="require this token for the pages and the API "
                        "(?token=, a cookie, or Authorization: Bearer); uploads stay open")
    parser.add_argument("--tokens", help="a file of scoped tokens, one a line: "
                        "\"scope[,scope] token\" with the scopes upload, read, symbols, admin")
    parser.add_argument("--webhook", action="append", default=[], metavar="URL",
                        help="POST a JSON event here for each new group and regression "
                        "(repeat for several)")
    parser.add_argument("--webhook-backoff", type=float, default=Delivery.backoff_seconds,
                        help="seconds before a failed delivery's first retry, doubling after "
                        "each (default: %g)" % Delivery.backoff_seconds)
    parser.add_argument("--upload-rate", type=float, default=0,
                        help="uploads per second each application may send on average; more "
                        "get 429 (default: 0, no limit)")
    parser.add_argument("--upload-burst", type=float, default=20,
                        help="uploads an application may send at once within its rate "
                        "(default: 20)")
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
    parser.add_argument("--min-free-bytes", type=int, default=DEFAULT_MIN_FREE_BYTES,
                        help="answer uploads with 507 and write nothing while the store's disk "
                        "has less free space than this (default: 2 GiB)")
    parser.add_argument("--connection-limit", type=int, default=ClientLimits.connections,
                        help="connections open at once (default: %d)" % ClientLimits.connections)
    parser.add_argument("--idle-seconds", type=float, default=ClientLimits.idle_seconds,
                        help="close connections without a request after this long")
    parser.add_argument("--grace-seconds", type=float, default=ClientLimits.grace_seconds,
                        help="after this long a request must keep up --min-upload-rate")
    parser.add_argument("--min-upload-rate", type=int,
                        default=ClientLimits.min_bytes_per_second,
                        help="bytes per second a request must average, or it is closed "
                        "(default: 8 KiB/s)")
    parser.add_argument("--lldb", default=Debugger().program,
                        help="the debugger that unwinds stacks (default: Debian's lldb)")
    parser.add_argument("--lldb-seconds", type=float, default=Debugger.seconds,
                        help="time limit of one unwinding (default: %g)" % Debugger.seconds)
    parser.add_argument("--lldb-memory-bytes", type=int, default=Debugger.memory_bytes,
                        help="memory limit of one unwinding (default: 1 GiB)")
    parser.add_argument("--threads", type=int, default=DEFAULT_THREADS,
                        help="requests handled at once")
    parser.add_argument("--workers", type=int, default=2, help="uploads processed at once")
    parser.add_argument("--max-seconds", type=float, default=0,
                        help="stop after this many seconds (default: 0, run until stopped)")
    return parser.parse_args(argv)


def stop_after(seconds: float) -> None:
    if seconds > 0:
        timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGTERM))
        timer.daemon = True
        timer.start()


def main(argv: Optional[list] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    command = argv[0] if argv and argv[0] in COMMANDS else "serve"
    if command == "upload-symbols":
        return upload_symbols_main(argv[1:])
    args = parse_arguments(argv[1:] if argv and argv[0] == command else argv)
    logging.basicConfig(level=logging.WARNING, format="collector: %(message)s")
    tokens = Tokens()
    if args.tokens:
        try:
            read_tokens_file(args.tokens, tokens)
        except (OSError, TokenFileError) as error:
            print("collector: --tokens: %s" % error, file=sys.stderr)
            return 2
    inbox = Inbox(args.store, symbols=args.symbols and os.path.abspath(args.symbols),
                  limits=Limits(max_ratio=args.max_ratio, max_total=args.max_unpacked_bytes),
                  retention=Retention(args.keep_days, args.keep_bytes), workers=args.workers,
                  debugger=Debugger(args.lldb, args.lldb_seconds, args.lldb_memory_bytes),
                  min_free_bytes=args.min_free_bytes, database=args.database,
                  lease_seconds=args.lease_seconds, webhooks=tuple(args.webhook),
                  delivery=Delivery(backoff_seconds=args.webhook_backoff))
    recovered = inbox.recover()
    print("recovered %s" % json.dumps(recovered), file=sys.stderr, flush=True)
    if command == "work":
        print("working", flush=True)
        stop_after(args.max_seconds)
        signal.sigwait({signal.SIGTERM, signal.SIGINT})
        return 0
    # Waitress spills request bodies above half a megabyte to temporary files: they go on the
    # store's disk, sized for uploads, rather than wherever TMPDIR points.
    tempfile.tempdir = inbox.store.incoming
    app = create_app(inbox, args.token, args.max_body_bytes, args.symbol_token,
                     args.max_symbol_bytes, tokens,
                     UploadLimiter(args.upload_rate, args.upload_burst))
    limits = ClientLimits(args.connection_limit, args.idle_seconds, args.grace_seconds,
                          args.min_upload_rate)
    server = make_server(app, args.host, args.port, args.threads, args.max_body_bytes, limits,
                         UPLOAD_PATH, inbox.has_room)
    print("listening %s:%d" % (args.host, int(server.effective_port)), flush=True)
    stop_after(args.max_seconds)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
