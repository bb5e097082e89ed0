"""The upload folders. An upload is staged under incoming/<instance>/, flushed, and renamed
whole into uploads/<id>/: a folder there is complete or absent, whatever moment the collector
dies at. Uploads that arrive together are flushed together, with one flush of the store's
file system. Each collector process stages in its own folder, which it holds locked, so
processes sharing a store clear only what a dead one left. Folders are named by the
collector's own ids; nothing from an upload becomes a path."""

import ctypes
import fcntl
import json
import os
import shutil
import socket
import time
import uuid
from typing import BinaryIO, Optional

UPLOAD_FILE = "upload.bin"
META_FILE = "meta.json"
FILES_FOLDER = "files"
ATTEMPT_PREFIX = "files-"
LOCK_SUFFIX = ".lock"
FREE_SPACE_SECONDS = 0.5
LIBC = ctypes.CDLL(None, use_errno=True)


def syncfs(path: str) -> None:
    """Flushes everything written to the file system that holds path: data, files and
    folders, in one call."""
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if LIBC.syncfs(descriptor) != 0:
            error = ctypes.get_errno()
            raise OSError(error, os.strerror(error), path)
    finally:
        os.close(descriptor)


def fsync_folder(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def new_upload_id() -> str:
    """Sorts by arrival to the second; the random part keeps apart ids of one second."""
    return time.strftime("%Y%m%d-%H%M%S-", time.gmtime()) + uuid.uuid4().hex[:12]


class Store:
    def __init__(self, root: str):
        self.root = os.path.abspath(root)
        self.incoming_root = os.path.join(self.root, "incoming")
        self.uploads = os.path.join(self.root, "uploads")
        self.trash = os.path.join(self.root, "trash")
        for folder in (self.root, self.incoming_root, self.uploads, self.trash):
            os.makedirs(folder, exist_ok=True)
        self.free, self.free_checked = 0, -FREE_SPACE_SECONDS - 1
        instance = "%s-%d-%s" % (socket.gethostname(), os.getpid(), uuid.uuid4().hex[:6])
        self.incoming = os.path.join(self.incoming_root, instance)
        # Locked before the folder exists: another collector clearing up never sees the folder
        # without its held lock.
        self.lock = open(self.incoming + LOCK_SUFFIX, "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.makedirs(self.incoming)

    def free_bytes(self) -> int:
        """Free space on the store's disk, looked up at most every FREE_SPACE_SECONDS: each
        upload asks, and the floor it guards is far larger than what arrives meanwhile."""
        now = time.monotonic()
        if now - self.free_checked > FREE_SPACE_SECONDS:
            stats = os.statvfs(self.root)
            self.free, self.free_checked = stats.f_bavail * stats.f_frsize, now
        return self.free

    def folder(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id)

    def upload_file(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id, UPLOAD_FILE)

    def files_folder(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id, FILES_FOLDER)

    def new_incoming_file(self) -> BinaryIO:
        """Where a request body's file part streams to while it arrives: the upload file of a
        staging folder of its own under a new id, so that staging it moves nothing."""
        staging = os.path.join(self.incoming, new_upload_id())
        os.mkdir(staging)
        return open(os.path.join(staging, UPLOAD_FILE), "x+b")

    def stage(self, part: BinaryIO, meta: dict) -> dict:
        """Writes the meta beside a received file part; returns the meta with the upload's id
        and size. Nothing is flushed yet."""
        part.flush()
        staging = os.path.dirname(part.name)
        meta = dict(meta, id=os.path.basename(staging), size=os.fstat(part.fileno()).st_size)
        part.close()
        descriptor = os.open(os.path.join(staging, META_FILE),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            os.write(descriptor, json.dumps(meta, ensure_ascii=False).encode())
        finally:
            os.close(descriptor)
        return meta

    def place(self, upload_ids: list) -> None:
        """Makes staged uploads durable and renames them into place: one flush for all of
        them before any rename. The renames are durable after flush_uploads()."""
        syncfs(self.root)
        for upload_id in upload_ids:
            os.replace(os.path.join(self.incoming, upload_id), self.folder(upload_id))

    def flush_uploads(self) -> None:
        fsync_folder(self.uploads)

    def publish(self, upload_ids: list) -> None:
        self.place(upload_ids)
        self.flush_uploads()

    def commit(self, part: BinaryIO, meta: dict) -> dict:
        meta = self.stage(part, meta)
        self.publish([meta["id"]])
        return meta

    def release_incoming(self, part: BinaryIO) -> None:
        """After a stored part: its staging folder went into place with an upload, or is left
        empty by a symbol file moved into the symbol store, and then goes."""
        part.close()
        try:
            os.rmdir(os.path.dirname(part.name))
        except OSError:
            pass

    def discard_incoming(self, part: Optional[BinaryIO]) -> None:
        if part is not None:
            part.close()
            shutil.rmtree(os.path.dirname(part.name), ignore_errors=True)

    def clear_incoming(self) -> int:
        """What a stopped collector left half-received was never answered: it goes. Staging
        folders whose lock nobody holds are a stopped collector's; the trash is emptied."""
        removed = 0
        for name in os.listdir(self.incoming_root):
            path = os.path.join(self.incoming_root, name)
            if path in (self.incoming, self.lock.name) or not os.path.lexists(path):
                continue  # ours, or gone with its lock just now
            if name.endswith(LOCK_SUFFIX):
                with open(path, "a") as lock:
                    try:
                        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    except BlockingIOError:
                        continue  # a running collector's
                    folder = path[:-len(LOCK_SUFFIX)]
                    if os.path.isdir(folder):
                        removed += len(os.listdir(folder))
                        shutil.rmtree(folder, ignore_errors=True)
                    os.unlink(path)
            elif not os.path.exists(path + LOCK_SUFFIX):
                shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
                removed += 1
        for name in os.listdir(self.trash):
            shutil.rmtree(os.path.join(self.trash, name), ignore_errors=True)
        return removed

    def stored_uploads(self) -> dict:
        """id -> meta of every complete upload folder."""
        found = {}
        for name in os.listdir(self.uploads):
            try:
                with open(os.path.join(self.uploads, name, META_FILE), encoding="utf-8") as f:
                    meta = json.load(f)
            except (OSError, ValueError):
                continue
            if meta.get("id") == name:
                found[name] = meta
        return found

    def attempt_files(self, upload_id: str, claim: str) -> str:
        """A fresh folder for one processing attempt to unpack into. Only the attempt whose
        outcome counts puts it in place (adopt_files): one that lost its lease while it ran
        never touches the files a page shows."""
        folder = os.path.join(self.folder(upload_id), ATTEMPT_PREFIX + claim)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def adopt_files(self, upload_id: str, attempt: str) -> bool:
        """Puts an attempt's folder in place of the upload's files; False when it is gone
        (removed by the attempt that took over)."""
        if not os.path.isdir(attempt):
            return False
        previous = os.path.join(self.trash, upload_id + "-files-" + uuid.uuid4().hex[:6])
        try:
            os.replace(self.files_folder(upload_id), previous)
        except FileNotFoundError:
            previous = None
        try:
            os.replace(attempt, self.files_folder(upload_id))
        except FileNotFoundError:
            if previous:  # the files shown before stay
                os.replace(previous, self.files_folder(upload_id))
            return False
        self.empty_trash(previous)
        return True

    def drop_other_attempts(self, upload_id: str) -> None:
        """Removes what attempts that lost the upload (stopped, or still running after their
        lease ran out) left beside its files."""
        for name in os.listdir(self.folder(upload_id)):
            if name.startswith(ATTEMPT_PREFIX):
                shutil.rmtree(os.path.join(self.folder(upload_id), name), ignore_errors=True)

    def drop_files(self, attempt: str) -> None:
        shutil.rmtree(attempt, ignore_errors=True)

    def folder_bytes(self, upload_id: str) -> int:
        total = 0
        for base, _, names in os.walk(self.folder(upload_id)):
            total += sum(os.path.getsize(os.path.join(base, n)) for n in names)
        return total

    def move_to_trash(self, upload_id: str) -> Optional[str]:
        target = os.path.join(self.trash, upload_id + "-" + uuid.uuid4().hex[:6])
        try:
            os.replace(self.folder(upload_id), target)
        except FileNotFoundError:
            return None
        return target

    def empty_trash(self, path: Optional[str]) -> None:
        if path:
            shutil.rmtree(path, ignore_errors=True)
