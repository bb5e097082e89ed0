"""Turning a stored upload into a report: unpack, read the dump, unwind the crashing thread,
compute the signature. Anything an upload contains ends as a reason, never as an exception
out of here."""

import os
from dataclasses import dataclass, field
from typing import Optional

from .archive import ArchiveError, Limits, unpack_upload
from .minidump import DumpError, read_minidump
from .signature import crash_signature, group_id
from .stack import Debugger, unwind
from .store import Store
from .symbols import SymbolStore
from .versions import report_version


@dataclass
class Outcome:
    processed: bool
    reason: Optional[str]
    signature: Optional[str]
    group: Optional[str]
    details: dict
    missing: tuple = field(default=())  # keys of the crash's modules that had no symbols


def bitmap_size(path: str) -> Optional[dict]:
    with open(path, "rb") as f:
        header = f.read(30)
    if len(header) < 30 or header[:2] != b"BM":
        return None
    width = int.from_bytes(header[18:22], "little", signed=True)
    height = int.from_bytes(header[22:26], "little", signed=True)
    return {"width": width, "height": abs(height), "bits": int.from_bytes(header[28:30], "little")}


def crash_modules(dump: dict, frames: list) -> set:
    """Names of the modules whose symbols would name the crash: the faulting one and those
    of the frames."""
    names = {f["module"] for f in frames if f.get("module")}
    faulting = (dump["exception"] or {}).get("module")
    return names | {faulting} if faulting else names


def process_upload(store: Store, upload_id: str, files: str, symbols: SymbolStore,
                   limits: Limits, debugger: Debugger) -> Outcome:
    """Unpacks the upload into the folder files and reads what it holds."""
    upload = store.upload_file(upload_id)
    details = {"files": [], "kind": None}
    try:
        unpacked = unpack_upload(upload, files, limits)
    except ArchiveError as error:
        return Outcome(False, "cannot unpack: %s" % error, None, None, details)
    except OSError as error:
        return Outcome(False, "cannot read the upload: %s" % error.strerror, None, None, details)
    details["kind"] = unpacked.kind
    details["files"] = unpacked.files
    dump_entry = unpacked.dump()
    if not dump_entry:
        return Outcome(False, "the archive holds no dump", None, None, details)
    dump_path = (upload if dump_entry["stored"] is None
                 else os.path.join(files, dump_entry["stored"]))
    details["dump_name"] = dump_entry["name"]
    bitmap = unpacked.first(".bmp")
    if bitmap:
        details["screenshot"] = dict(bitmap_size(os.path.join(files, bitmap["stored"])) or {},
                                     name=bitmap["name"])
    try:
        with open(dump_path, "rb") as f:
            dump = read_minidump(f)
    except DumpError as error:
        return Outcome(False, "cannot read the dump: %s" % error, None, None, details)
    details["dump"] = dump
    details["version"] = report_version(dump)
    paths, missing, debug_files = symbols.files_for(dump["modules"])
    stack = unwind(dump_path, dump["modules"], paths, debugger, debug_files)
    details["stack"] = stack
    signature = crash_signature(dump["exception"], stack["frames"])
    wanted = crash_modules(dump, stack["frames"])
    return Outcome(True, None, signature, group_id(signature), details,
                   tuple(key for name, key in missing.items() if name in wanted))
