"""The HTTP server in front of the application: Waitress, with what it lacks against slow and
hostile clients. Waitress reads a whole request before the application sees it and holds a
connection slot all that time; its own timeout closes idle connections only, so clients that
trickle a byte now and then could keep every slot and real uploads out."""

import time
from dataclasses import dataclass
from typing import Callable

from waitress.adjustments import Adjustments
from waitress.channel import HTTPChannel
from waitress.parser import HTTPRequestParser
from waitress.server import TcpWSGIServer
from waitress.utilities import Error


@dataclass
class ClientLimits:
    connections: int = 200
    idle_seconds: float = 30       # a connection with no request under way
    grace_seconds: float = 30      # before a request's pace is judged
    min_bytes_per_second: int = 8 << 10


class InsufficientStorage(Error):
    code = 507
    reason = "Insufficient Storage"


def make_server(app: Callable, host: str, port: int, threads: int, max_body: int,
                limits: ClientLimits, upload_path: str,
                has_room: Callable[[int], bool]) -> TcpWSGIServer:
    """A server on one address. Uploads that would take the disk below its floor are refused
    with 507 from their headers, before any of the body is written."""

    class UploadParser(HTTPRequestParser):
        started = None

        def received(self, data: bytes) -> int:
            if self.started is None:
                self.started = time.monotonic()
            had_headers = self.headers_finished
            consumed = super().received(data)
            if (self.headers_finished and not had_headers and not self.error and
                    self.command == "POST" and self.path == upload_path and
                    not has_room(self.content_length)):
                self.error = InsufficientStorage("the collector's disk is nearly full")
                self.completed = True
            return consumed

        def too_slow(self, now: float) -> bool:
            elapsed = now - (self.started or now)
            received = self.header_bytes_received + self.body_bytes_received
            return (elapsed > limits.grace_seconds and
                    received < limits.min_bytes_per_second * elapsed)

    class UploadChannel(HTTPChannel):
        parser_class = UploadParser

    class UploadServer(TcpWSGIServer):
        channel_class = UploadChannel

        def maintenance(self, now: float) -> None:
            """Closes idle connections and those whose request arrives too slowly; requests
            already with the application are left alone."""
            steady = time.monotonic()
            for channel in list(self.active_channels.values()):
                if channel.requests:
                    continue
                if channel.request is not None:
                    stalled = channel.request.too_slow(steady)
                else:
                    stalled = channel.last_activity < now - limits.idle_seconds
                if stalled:
                    channel.will_close = True

    adjustments = Adjustments(host=host, port=port, threads=threads,
                              max_request_body_size=max_body,
                              connection_limit=limits.connections,
                              channel_timeout=limits.idle_seconds,
                              cleanup_interval=1, ident="crash-inbox")
    return UploadServer(app, adj=adjustments)
