"""Webhooks: a JSON POST to each configured URL for a new group and for a regression.
Events are recorded in the index in the transaction that saw them, one delivery row per URL;
a dispatcher thread in any process claims due deliveries for a lease and posts them, so with
several processes on one PostgreSQL database each delivery is made by one of them, and an
upload never waits for a receiver."""

import json
import logging
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import uuid
from dataclasses import dataclass
from typing import Optional, Sequence

from .database import POSTGRESQL

log = logging.getLogger("crashinbox")
PENDING = "pending"
DELIVERED = "delivered"
FAILED = "failed"


@dataclass
class Delivery:
    backoff_seconds: float = 2.0     # before the first retry, doubling after each failure
    max_backoff_seconds: float = 600
    attempts: int = 12               # then it is given up and stays listed as failed
    timeout_seconds: float = 10      # a receiver gets this long to answer
    lease_seconds: float = 60        # a dispatcher that dies loses its delivery after this
    poll_seconds: float = 1.0        # for deliveries recorded by other processes
    keep_seconds: float = 30 * 86400  # delivered and failed ones are listed this long


def record(cursor, urls: Sequence[str], event: dict) -> None:
    """Queues event for every URL, inside the caller's transaction."""
    event = dict(event, id=uuid.uuid4().hex, time=time.time())
    payload = json.dumps(event)
    for url in urls:
        cursor.execute("INSERT INTO deliveries (id, event_id, url, payload, state, attempts, "
                       "next_try) VALUES (?, ?, ?, ?, ?, 0, ?)",
                       (uuid.uuid4().hex, event["id"], url, payload, PENDING, event["time"]))


def post(url: str, payload: str, timeout: float) -> Optional[str]:
    """None once the receiver answered 2xx, else why not."""
    request = urllib.request.Request(url, data=payload.encode(), method="POST",
                                     headers={"Content-Type": "application/json",
                                              "User-Agent": "crash-inbox"})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            answer.read(1 << 16)
            return None
    except urllib.error.HTTPError as error:
        return "HTTP %d" % error.code
    except (urllib.error.URLError, OSError, ValueError) as error:
        return str(getattr(error, "reason", error))[:200]


class Dispatcher:
    def __init__(self, database, settings: Optional[Delivery] = None):
        self.database = database
        self.settings = settings or Delivery()
        self.postgresql = database.dialect == POSTGRESQL
        self.wake = threading.Event()

    def start(self, stop: threading.Event, threads: int = 4) -> None:
        for number in range(threads):
            threading.Thread(target=self.run, args=(stop,), daemon=True,
                             name="webhook-%d" % number).start()

    def claim(self) -> Optional[dict]:
        """The due delivery that waited longest, leased to the caller, with this attempt
        counted."""
        lock = " FOR UPDATE SKIP LOCKED" if self.postgresql else ""
        with self.database.transaction() as cursor:
            now = self.database.now(cursor)
            rows = cursor.execute("SELECT id, url, payload, attempts FROM deliveries WHERE "
                                  "state=? AND next_try<=? AND (lease_until IS NULL OR "
                                  "lease_until<?) ORDER BY next_try LIMIT 1" + lock,
                                  (PENDING, now, now))
            if not rows:
                return None
            cursor.execute("UPDATE deliveries SET attempts=attempts+1, lease_until=? "
                           "WHERE id=?", (now + self.settings.lease_seconds, rows[0]["id"]))
        return dict(rows[0], attempts=rows[0]["attempts"] + 1)

    def settle(self, delivery: dict, error: Optional[str]) -> None:
        settings = self.settings
        with self.database.transaction() as cursor:
            now = self.database.now(cursor)
            if error is None:
                state, next_try = DELIVERED, now
            elif delivery["attempts"] >= settings.attempts:
                state, next_try = FAILED, now
            else:
                state = PENDING
                next_try = now + min(settings.max_backoff_seconds,
                                     settings.backoff_seconds * 2 ** (delivery["attempts"] - 1))
            cursor.execute("UPDATE deliveries SET state=?, next_try=?, lease_until=NULL, "
                           "last_error=? WHERE id=?", (state, next_try, error, delivery["id"]))
        if error is not None:
            # The host only: a webhook's path and query often carry its secret.
            log.warning("webhook to %s: attempt %d failed: %s",
                        urllib.parse.urlsplit(delivery["url"]).netloc, delivery["attempts"],
                        error)

    def seconds_to_next_due(self) -> Optional[float]:
        """How long until the first pending delivery is due, or None when none waits."""
        with self.database.transaction() as cursor:
            now = self.database.now(cursor)
            due = cursor.execute("SELECT MIN(next_try) AS due FROM deliveries WHERE state=?",
                                 (PENDING,))[0]["due"]
        return None if due is None else due - now

    def forget_old(self) -> None:
        with self.database.transaction() as cursor:
            cursor.execute("DELETE FROM deliveries WHERE state!=? AND next_try<?",
                           (PENDING, time.time() - self.settings.keep_seconds))

    def run(self, stop: threading.Event) -> None:
        forgotten = 0.0
        while not stop.is_set():
            try:
                if time.monotonic() - forgotten > 3600:
                    forgotten = time.monotonic()
                    self.forget_old()
                delivery = self.claim()
                if delivery:
                    self.settle(delivery, post(delivery["url"], delivery["payload"],
                                               self.settings.timeout_seconds))
                    continue
                left = self.seconds_to_next_due()
            except Exception:
                log.exception("delivering webhooks failed")
                left = None
            wait = self.settings.poll_seconds
            if left is not None:
                wait = min(wait, max(0.05, left))
            self.wake.wait(wait)
            self.wake.clear()

    def deliveries(self, limit: int = 200) -> list:
        with self.database.transaction() as cursor:
            return cursor.execute("SELECT id, event_id, url, state, attempts, next_try, "
                                  "last_error FROM deliveries ORDER BY next_try DESC LIMIT ?",
                                  (limit,))
