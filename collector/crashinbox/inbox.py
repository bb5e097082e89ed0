"""The collector's state: the store, its index, the processing queue, symbols and retention.
Any number of these, in any number of processes, may share one store folder and one
PostgreSQL database; with SQLite one process owns the store."""

import logging
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, replace
from typing import BinaryIO, Callable, Optional

from .alerts import Delivery, Dispatcher
from .archive import Limits
from .database import SQLITE, open_database
from .index import PROCESSED, UNPROCESSED, Index
from .processing import process_upload
from .stack import Debugger
from .store import Store, fsync_folder
from .symbols import SymbolStore

log = logging.getLogger("crashinbox")
SECONDS_PER_DAY = 86400
INDEX_FILE = "index.sqlite"
SYMBOLS_FOLDER = "symbols"
# An upload whose processing was cut short this often (the collector died or was stopped
# during it) is not tried again: it may be what takes the collector down.
MAX_ATTEMPTS = 2
DEFAULT_MIN_FREE_BYTES = 2 << 30
DEFAULT_LEASE_SECONDS = 30
# Workers look for expired leases this often when no notification comes.
IDLE_SECONDS = 30


@dataclass
class Retention:
    keep_days: float = 0      # 0: no limit
    keep_bytes: int = 0       # 0: no limit


class GroupCommit:
    """Uploads that arrive while one batch is being flushed wait for the next batch: a batch
    costs one flush of the file system before its renames, then one flush of the uploads
    folder and one index transaction, which run side by side while the next batch is
    flushed. Each caller returns once its upload is durable and indexed."""

    def __init__(self, place: Callable[[list], None], record: list):
        self.place = place        # durable, then renamed into place
        self.record = record      # steps that each finish a placed batch
        self.ready = threading.Condition()
        self.pending = []
        self.finishing = ThreadPoolExecutor(max_workers=2 * len(record),
                                            thread_name_prefix="group-commit")
        threading.Thread(target=self.run, daemon=True, name="group-commit").start()

    def submit(self, meta: dict) -> None:
        entry = {"meta": meta, "done": threading.Event(), "error": None}
        with self.ready:
            self.pending.append(entry)
            self.ready.notify()
        entry["done"].wait()
        if entry["error"] is not None:
            raise entry["error"]

    def run(self) -> None:
        while True:
            with self.ready:
                while not self.pending:
                    self.ready.wait()
                batch, self.pending = self.pending, []
            metas = [entry["meta"] for entry in batch]
            try:
                self.place(metas)
            except Exception as failure:  # each waiting request answers with it
                self.answer(batch, [failure])
                continue
            steps = [self.finishing.submit(step, metas) for step in self.record]
            self.finishing.submit(self.answer_when_done, batch, steps)

    def answer_when_done(self, batch: list, steps: list) -> None:
        self.answer(batch, [step.exception() for step in steps])

    @staticmethod
    def answer(batch: list, errors: list) -> None:
        error = next((e for e in errors if e is not None), None)
        for entry in batch:
            entry["error"] = error
            entry["done"].set()


class Inbox:
    def __init__(self, root: str, symbols: Optional[str] = None,
                 limits: Optional[Limits] = None, retention: Optional[Retention] = None,
                 workers: int = 2, debugger: Optional[Debugger] = None,
                 min_free_bytes: int = DEFAULT_MIN_FREE_BYTES, database: Optional[str] = None,
                 lease_seconds: float = DEFAULT_LEASE_SECONDS, webhooks: tuple = (),
                 delivery: Optional[Delivery] = None):
        self.store = Store(root)
        self.database = open_database(database, os.path.join(self.store.root, INDEX_FILE))
        self.index = Index(self.database)
        self.index.webhooks = tuple(webhooks)
        self.dispatcher = Dispatcher(self.database, delivery)
        self.symbols = SymbolStore(os.path.join(self.store.root, SYMBOLS_FOLDER), symbols)
        self.limits = limits or Limits()
        self.retention = retention or Retention()
        self.debugger = debugger or Debugger()
        self.min_free_bytes = min_free_bytes
        self.lease_seconds = lease_seconds
        self.workers = workers
        self.sweep_lock = threading.Lock()
        self.stop = threading.Event()
        self.held = {}  # upload id -> claim of the attempts under way here
        self.held_lock = threading.Lock()
        # A row may commit before the rename it follows is durable: a crash in between
        # leaves a row without a folder, which recovery removes, and nothing was answered.
        self.committer = GroupCommit(
            lambda metas: self.store.place([meta["id"] for meta in metas]),
            [lambda metas: self.store.flush_uploads(), self.index.add_many])

    def recover(self) -> dict:
        """Brings the index in line with the folders after any kind of stop: folders that a
        crash left unindexed are indexed, rows without a folder go, what a stopped collector
        half received goes. Then the workers start on whatever waits."""
        dropped = self.store.clear_incoming()
        stored = self.store.stored_uploads()
        indexed = self.index.ids()
        added = sorted(set(stored) - indexed)
        if added:
            self.index.add_many([stored[upload_id] for upload_id in added])
        for upload_id in indexed - set(stored):
            self.index.remove(upload_id)
        if self.database.dialect == SQLITE:
            self.index.release_leases()  # this process is the only one
        self.sweep()
        self.start_workers()
        return {"indexed": len(added), "dropped_incoming": dropped}

    def start_workers(self) -> None:
        # Any process on a shared database may deliver what another recorded; one with no
        # webhooks of its own still delivers those of a process that has them.
        if self.index.webhooks or self.database.dialect != SQLITE:
            self.dispatcher.start(self.stop)
        if not self.workers:
            return
        wake = self.database.listen_for_work(self.stop)
        for number in range(self.workers):
            threading.Thread(target=self.work, args=(wake,), daemon=True,
                             name="worker-%d" % number).start()
        threading.Thread(target=self.renew_leases, daemon=True, name="leases").start()

    def has_room(self, incoming_bytes: int = 0) -> bool:
        """Whether incoming_bytes more still leave the free-space floor on the store's disk."""
        return self.store.free_bytes() - incoming_bytes >= self.min_free_bytes

    def receive(self, part: BinaryIO, name: str, filename: Optional[str], client: str) -> str:
        """Durable first, indexed second, answered third (by the caller)."""
        meta = {"received": time.time(), "name": name, "filename": filename, "client": client}
        meta = self.store.stage(part, meta)
        self.committer.submit(meta)
        return meta["id"]

    def work(self, wake: threading.Event) -> None:
        """One worker: claims the oldest waiting upload, processes it, and sleeps until some
        process notifies new work or a lease may have run out."""
        while not self.stop.is_set():
            try:
                claimed = self.index.claim(self.lease_seconds)
            except Exception:
                log.exception("claiming work failed")
                claimed = None
                self.stop.wait(1)
            if claimed:
                self.process(claimed)
                continue
            left = self.index.seconds_to_next_lease_end()
            timeout = IDLE_SECONDS if left is None else min(IDLE_SECONDS, max(0.05, left))
            wake.wait(timeout)
            wake.clear()

    def renew_leases(self) -> None:
        while not self.stop.wait(self.lease_seconds / 3):
            with self.held_lock:
                held = list(self.held.items())
            if held:
                try:
                    self.index.renew(held, self.lease_seconds)
                except Exception:
                    log.exception("renewing leases failed")

    def process(self, claimed: dict) -> None:
        upload_id, claim = claimed["id"], claimed["claim"]
        files = None  # this attempt's unpacked files until they are in place
        with self.held_lock:
            self.held[upload_id] = claim
        try:
            if claimed["attempts"] > MAX_ATTEMPTS:
                self.index.finish(upload_id, claim, UNPROCESSED, "processing it was cut short "
                                  "%d times (the collector stopped during it)" % MAX_ATTEMPTS,
                                  None, None, {}, self.store.folder_bytes(upload_id))
                return
            # Unpacking never eats into the free-space floor kept for new uploads.
            room = max(0, self.store.free_bytes() - self.min_free_bytes)
            limits = replace(self.limits, max_total=min(self.limits.max_total, room))
            # Each attempt unpacks into a folder of its own; the files a page shows are
            # replaced only by an attempt that still holds the upload.
            files = self.store.attempt_files(upload_id, claim)
            outcome = process_upload(self.store, upload_id, files, self.symbols, limits,
                                     self.debugger)
            if self.index.holds(upload_id, claim) and self.store.adopt_files(upload_id, files):
                files = None
                if self.index.finish(upload_id, claim,
                                     PROCESSED if outcome.processed else UNPROCESSED,
                                     outcome.reason, outcome.signature, outcome.group,
                                     outcome.details, self.store.folder_bytes(upload_id),
                                     outcome.missing):
                    self.store.drop_other_attempts(upload_id)
                if self.index.webhooks:
                    self.dispatcher.wake.set()
        except Exception:  # a fault of ours must not stop the queue; the upload stays listed
            log.exception("processing %s failed", upload_id)
            try:
                self.index.finish(upload_id, claim, UNPROCESSED,
                                  "the collector failed to process it", None, None, {},
                                  self.store.folder_bytes(upload_id))
            except Exception:
                log.exception("recording the failure of %s failed", upload_id)
        finally:
            if files:
                self.store.drop_files(files)
            with self.held_lock:
                self.held.pop(upload_id, None)
        self.sweep()

    def add_symbols(self, part: BinaryIO, name: str) -> tuple:
        """Stores an uploaded module file under its key and queues again the reports that
        lacked it: (key, reports queued). Raises SymbolError."""
        part.seek(0)
        key = self.symbols.key_of(name, part)
        part.flush()
        os.fsync(part.fileno())
        self.symbols.put(key, name, part.name)
        fsync_folder(self.symbols.folder(key))
        return key, self.index.requeue_missing(key)

    def add_debug_file(self, part: BinaryIO, key: str, name: str) -> int:
        """Stores a module's separate debug file, checked by SymbolStore.check_debug_file,
        beside its module and queues again the reports that lacked it: reports queued."""
        self.symbols.put_debug(key, name, part)
        return self.index.requeue_missing(key)

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
