"""The collector's state: the store, its index, the processing queue and retention."""

import logging
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, replace
from typing import BinaryIO, Optional

from .archive import Limits
from .index import PROCESSED, UNPROCESSED, Index
from .processing import process_upload
from .stack import Debugger
from .store import Store

log = logging.getLogger("crashinbox")
SECONDS_PER_DAY = 86400
INDEX_FILE = "index.sqlite"
# An upload whose processing was cut short this often (the collector died or was stopped
# during it) is not tried again: it may be what takes the collector down.
MAX_ATTEMPTS = 2
DEFAULT_MIN_FREE_BYTES = 2 << 30


@dataclass
class Retention:
    keep_days: float = 0      # 0: no limit
    keep_bytes: int = 0       # 0: no limit


class Inbox:
    def __init__(self, root: str, symbols: Optional[str] = None,
                 limits: Optional[Limits] = None, retention: Optional[Retention] = None,
                 workers: int = 2, debugger: Optional[Debugger] = None,
                 min_free_bytes: int = DEFAULT_MIN_FREE_BYTES):
        self.store = Store(root)
        self.index = Index(os.path.join(self.store.root, INDEX_FILE))
        self.symbols = symbols
        self.limits = limits or Limits()
        self.retention = retention or Retention()
        self.debugger = debugger or Debugger()
        self.min_free_bytes = min_free_bytes
        self.pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="process")
        self.sweep_lock = threading.Lock()

    def recover(self) -> dict:
        """Brings the index in line with the folders after any kind of stop: folders that a
        crash left unindexed are indexed, rows without a folder go, unprocessed work is
        queued again."""
        dropped = self.store.clear_incoming()
        stored = self.store.stored_uploads()
        indexed = self.index.ids()
        added = 0
        for upload_id in sorted(set(stored) - indexed):
            self.index.add(stored[upload_id])
            added += 1
        for upload_id in indexed - set(stored):
            self.index.remove(upload_id)
        waiting = self.index.waiting()
        for upload_id in waiting:
            self.queue(upload_id)
        self.sweep()
        return {"indexed": added, "queued": len(waiting), "dropped_incoming": dropped}

    def has_room(self, incoming_bytes: int = 0) -> bool:
        """Whether incoming_bytes more still leave the free-space floor on the store's disk."""
        return self.store.free_bytes() - incoming_bytes >= self.min_free_bytes

    def receive(self, part: BinaryIO, name: str, filename: Optional[str], client: str) -> str:
        """Durable first, indexed second, answered third (by the caller)."""
        meta = {"received": time.time(), "name": name, "filename": filename, "client": client}
        meta = self.store.commit(part, meta)
        self.index.add(meta)
        self.queue(meta["id"])
        return meta["id"]

    def queue(self, upload_id: str) -> None:
        self.pool.submit(self.process, upload_id)

    def process(self, upload_id: str) -> None:
        try:
            attempt = self.index.begin_attempt(upload_id)
            if attempt is None:
                return
            if attempt > MAX_ATTEMPTS:
                self.index.finish(upload_id, UNPROCESSED, "processing it was cut short %d "
                                  "times (the collector stopped during it)" % MAX_ATTEMPTS,
                                  None, None, {}, self.store.folder_bytes(upload_id))
                return
            # Unpacking never eats into the free-space floor kept for new uploads.
            room = max(0, self.store.free_bytes() - self.min_free_bytes)
            limits = replace(self.limits, max_total=min(self.limits.max_total, room))
            outcome = process_upload(self.store, upload_id, self.symbols, limits, self.debugger)
            self.index.finish(upload_id, PROCESSED if outcome.processed else UNPROCESSED,
                              outcome.reason, outcome.signature, outcome.group, outcome.details,
                              self.store.folder_bytes(upload_id))
        except Exception:  # a fault of ours must not stop the queue; the upload stays listed
            log.exception("processing %s failed", upload_id)
            try:
                self.index.finish(upload_id, UNPROCESSED, "the collector failed to process it",
                                  None, None, {}, self.store.folder_bytes(upload_id))
            except Exception:
                log.exception("recording the failure of %s failed", upload_id)
        self.sweep()

    def sweep(self) -> int:
        """Applies retention: reports older than keep_days, then the oldest beyond keep_bytes."""
        if not (self.retention.keep_days or self.retention.keep_bytes):
            return 0
        with self.sweep_lock:
            doomed = []
            if self.retention.keep_days:
                doomed += self.index.older_than(time.time() -
                                                self.retention.keep_days * SECONDS_PER_DAY)
            if self.retention.keep_bytes:
                doomed += [i for i in self.index.oldest_beyond(self.retention.keep_bytes)
                           if i not in doomed]
            for upload_id in doomed:
                # Out of the folder tree first: a crash in between leaves a row without a
                # folder, which recovery removes, never a folder that comes back.
                trashed = self.store.move_to_trash(upload_id)
                self.index.remove(upload_id)
                self.store.empty_trash(trashed)
            return len(doomed)
