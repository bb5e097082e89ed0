"""Safe unpacking of an uploaded report: a ZIP archive from the reporter, or the bare dump it
sends when packing failed. Entries are written under numbered names inside the report's own
folder, so no entry name ever becomes a path; hostile archives are refused whole."""

import os
import re
import zipfile
import zlib
from dataclasses import dataclass, field
from typing import Optional

MINIDUMP_MAGIC = b"MDMP"
ZIP_MAGIC = b"PK\x03\x04"
COPY_CHUNK = 1 << 20
MAX_ENTRIES = 1000
ENCRYPTED_FLAG = 0x1
DRIVE = re.compile(r"^[A-Za-z]:")


class ArchiveError(Exception):
    """The upload cannot be unpacked; the text says why."""


@dataclass
class Limits:
    # A full dump of 1 GiB and its companions unpack; a large entry that expands 100x and
    # more does not. Process memory deflates 3 to 30 times; a screenshot of a plain window
    # deflates 100 to 1,000 times, and is small.
    max_ratio: int = 100           # uncompressed size per compressed byte, per large entry
    small_entry: int = 64 << 20    # entries up to this size may expand any number of times
    max_total: int = 2 << 30       # bytes unpacked from one upload


@dataclass
class Unpacked:
    kind: str                      # "zip" or "dump"
    files: list = field(default_factory=list)  # {"name", "stored", "size"}

    def first(self, suffix: str) -> Optional[dict]:
        return next((f for f in self.files if f["name"].lower().endswith(suffix)), None)

    def dump(self) -> Optional[dict]:
        """The full dump when the archive holds one, else the normal one."""
        dumps = [f for f in self.files if f["name"].lower().endswith(".dmp")]
        full = [f for f in dumps if f["name"].lower().endswith("-full.dmp")]
        return (full or dumps or [None])[0]


def entry_name_problem(name: str) -> Optional[str]:
    """Why an entry name is refused, or None. Bare names only: the reporter writes no folders."""
    if not name or name in (".", ".."):
        return "an empty entry name"
    if "\0" in name:
        return "an entry name with a NUL character"
    if name.startswith(("/", "\\")) or DRIVE.match(name):
        return "an absolute entry name %r" % name
    if ".." in re.split(r"[\\/]", name):
        return "an entry name %r that climbs out of its folder" % name
    return None


def check_entries(infos: list, compressed_size: int, limits: Limits) -> None:
    if len(infos) > MAX_ENTRIES:
        raise ArchiveError("%d entries" % len(infos))
    total = 0
    for info in infos:
        problem = entry_name_problem(info.filename)
        if problem:
            raise ArchiveError(problem)
        if info.flag_bits & ENCRYPTED_FLAG:
            raise ArchiveError("the entry %r is encrypted" % info.filename)
        if info.compress_size > compressed_size:
            raise ArchiveError("the entry %r claims more bytes than the archive has"
                               % info.filename)
        if info.file_size > max(limits.small_entry,
                                limits.max_ratio * max(info.compress_size, 1)):
            raise ArchiveError("the entry %r expands %d bytes to %d (a zip bomb)" %
                               (info.filename, info.compress_size, info.file_size))
        total += info.file_size
    if total > limits.max_total:
        raise ArchiveError("the entries unpack to %d bytes, more than the limit of %d" %
                           (total, limits.max_total))


def copy_entry(archive: zipfile.ZipFile, info: zipfile.ZipInfo, target: str, budget: int) -> int:
    """Streams one entry out, stopping at its declared size: the header may lie."""
    written = 0
    with archive.open(info) as source, open(target, "wb") as out:
        while True:
            chunk = source.read(COPY_CHUNK)
            if not chunk:
                return written
            written += len(chunk)
            if written > info.file_size or written > budget:
                raise ArchiveError("the entry %r unpacks to more than it declares" % info.filename)
            out.write(chunk)


def unpack_zip(path: str, folder: str, limits: Limits) -> Unpacked:
    try:
        with zipfile.ZipFile(path) as archive:
            infos = [i for i in archive.infolist() if not i.is_dir()]
            check_entries(infos, os.path.getsize(path), limits)
            unpacked = Unpacked("zip")
            budget = limits.max_total
            for number, info in enumerate(infos):
                stored = "entry-%d" % number
                size = copy_entry(archive, info, os.path.join(folder, stored), budget)
                budget -= size
                unpacked.files.append({"name": info.filename, "stored": stored, "size": size})
            return unpacked
    except ArchiveError:
        raise
    except (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, EOFError, ValueError,
            NotImplementedError, RuntimeError, OSError) as error:
        raise ArchiveError("a broken archive: %s" % error) from None


def unpack_upload(path: str, folder: str, limits: Limits) -> Unpacked:
    """The upload's files inside folder. Raises ArchiveError."""
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic == MINIDUMP_MAGIC:
        return Unpacked("dump", [{"name": "upload.dmp", "stored": None,
                                  "size": os.path.getsize(path)}])
    if magic != ZIP_MAGIC:
        raise ArchiveError("neither a ZIP archive nor a minidump")
    os.makedirs(folder, exist_ok=True)
    return unpack_zip(path, folder, limits)
