"""The upload folders. An upload is written under incoming/, flushed, and renamed whole into
uploads/<id>/: a folder there is complete or absent, whatever moment the collector dies at.
Folders are named by the collector's own ids; nothing from an upload becomes a path."""

import json
import os
import shutil
import tempfile
import time
import uuid
from typing import BinaryIO, Optional

UPLOAD_FILE = "upload.bin"
META_FILE = "meta.json"
FILES_FOLDER = "files"


def fsync_folder(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_json_durably(path: str, value: dict) -> None:
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as out:
        json.dump(value, out, ensure_ascii=False)
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, path)


class Store:
    def __init__(self, root: str):
        self.root = os.path.abspath(root)
        self.incoming = os.path.join(self.root, "incoming")
        self.uploads = os.path.join(self.root, "uploads")
        self.trash = os.path.join(self.root, "trash")
        for folder in (self.root, self.incoming, self.uploads, self.trash):
            os.makedirs(folder, exist_ok=True)

    def free_bytes(self) -> int:
        stats = os.statvfs(self.root)
        return stats.f_bavail * stats.f_frsize

    def folder(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id)

    def upload_file(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id, UPLOAD_FILE)

    def files_folder(self, upload_id: str) -> str:
        return os.path.join(self.uploads, upload_id, FILES_FOLDER)

    def new_incoming_file(self) -> BinaryIO:
        """Where a request body's file part streams to while it arrives."""
        return tempfile.NamedTemporaryFile(dir=self.incoming, prefix="part-", delete=False)

    def commit(self, part: BinaryIO, meta: dict) -> dict:
        """Makes a received file part durable as a new upload; returns its meta with the new
        id and size. The part's file is flushed and moved, never copied."""
        upload_id = time.strftime("%Y%m%d-%H%M%S-", time.gmtime()) + uuid.uuid4().hex[:12]
        part.flush()
        os.fsync(part.fileno())
        staging = os.path.join(self.incoming, upload_id)
        os.mkdir(staging)
        os.replace(part.name, os.path.join(staging, UPLOAD_FILE))
        part.close()
        meta = dict(meta, id=upload_id, size=os.path.getsize(os.path.join(staging, UPLOAD_FILE)))
        write_json_durably(os.path.join(staging, META_FILE), meta)
        fsync_folder(staging)
        os.replace(staging, self.folder(upload_id))
        fsync_folder(self.uploads)
        return meta

    def discard_incoming(self, part: Optional[BinaryIO]) -> None:
        if part is not None:
            part.close()
            try:
                os.unlink(part.name)
            except FileNotFoundError:
                pass

    def clear_incoming(self) -> int:
        """What a crash left half-received was never answered: it goes."""
        removed = 0
        for folder in (self.incoming, self.trash):
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
                removed += folder == self.incoming
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

    def reset_files(self, upload_id: str) -> str:
        folder = self.files_folder(upload_id)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def folder_bytes(self, upload_id: str) -> int:
        total = 0
        for base, _, names in os.walk(self.folder(upload_id)):
            total += sum(os.path.getsize(os.path.join(base, n)) for n in names)
        return total

    def move_to_trash(self, upload_id: str) -> Optional[str]:
        target = os.path.join(self.trash, upload_id)
        try:
            os.replace(self.folder(upload_id), target)
        except FileNotFoundError:
            return None
        return target

    def empty_trash(self, path: Optional[str]) -> None:
        if path:
            shutil.rmtree(path, ignore_errors=True)
