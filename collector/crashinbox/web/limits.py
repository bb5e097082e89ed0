"""Upload rate limits per application: a token bucket each, refilled at rate uploads per
second up to burst. Kept per collector process; behind a proxy that spreads uploads over n
collectors an application gets up to n times the rate."""

import math
import threading
import time
from typing import Callable, Optional

# Names come from uploads, so their number is bounded: full buckets are forgotten first.
MAX_BUCKETS = 10000


class UploadLimiter:
    def __init__(self, rate: float, burst: float, clock: Callable[[], float] = time.monotonic):
        self.rate = rate
        self.burst = max(1.0, burst)
        self.clock = clock
        self.lock = threading.Lock()
        self.buckets = {}  # application -> (tokens, when)

    def take(self, app: str) -> Optional[float]:
        """None when app may upload now (one token taken), else seconds until it may."""
        if self.rate <= 0:
            return None
        now = self.clock()
        with self.lock:
            tokens, then = self.buckets.get(app, (self.burst, now))
            tokens = min(self.burst, tokens + (now - then) * self.rate)
            if tokens < 1:
                self.buckets[app] = (tokens, now)
                return (1 - tokens) / self.rate
            self.buckets[app] = (tokens - 1, now)
            if len(self.buckets) > MAX_BUCKETS:
                self.forget_full(now)
            return None

    def forget_full(self, now: float) -> None:
        for app, (tokens, then) in list(self.buckets.items()):
            if tokens + (now - then) * self.rate >= self.burst:
                del self.buckets[app]


def retry_after(seconds: float) -> str:
    return str(max(1, math.ceil(seconds)))
