"""Symbols: executables and DLLs with debug information, kept under the symbol-server key of
each (file name / TimeDateStamp and SizeOfImage from its PE header / file name), which is
also what a minidump records of every loaded module. A team uploads them once per build;
processing hands lldb the files whose keys match the dump's modules. An older symbol folder
of files matched by name alone still works."""

import os
import re
import struct
from typing import BinaryIO, Optional

PE_OFFSET_AT = 0x3C
MAX_PE_OFFSET = 1 << 16
COFF_HEADER = struct.Struct("<HHIIIHH")  # machine, sections, stamp, ..., optional size, flags
OPTIONAL_MAGICS = {0x10B, 0x20B}
SIZE_OF_IMAGE_AT = 56  # in the optional header, the same for PE32 and PE32+
# What a module name may be: a Windows file name without folders.
FILE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9 ._+~-]{0,199}$")
SYMBOL_SUFFIXES = (".exe", ".dll")


class SymbolError(Exception):
    """The file is not one the symbol store takes; the text says why."""


def pe_identity(file: BinaryIO) -> tuple:
    """(TimeDateStamp, SizeOfImage) from a PE file's headers. Raises SymbolError."""
    head = file.read(64)
    if len(head) < 64 or head[:2] != b"MZ":
        raise SymbolError("not a PE file (no MZ header)")
    offset, = struct.unpack_from("<I", head, PE_OFFSET_AT)
    if offset > MAX_PE_OFFSET:
        raise SymbolError("not a PE file (its header lies at %d)" % offset)
    file.seek(offset)
    header = file.read(4 + COFF_HEADER.size + SIZE_OF_IMAGE_AT + 4)
    if len(header) < 4 + COFF_HEADER.size + SIZE_OF_IMAGE_AT + 4 or header[:4] != b"PE\0\0":
        raise SymbolError("not a PE file (no PE signature)")
    _, _, stamp, _, _, optional_size, _ = COFF_HEADER.unpack_from(header, 4)
    magic, = struct.unpack_from("<H", header, 4 + COFF_HEADER.size)
    if magic not in OPTIONAL_MAGICS or optional_size < SIZE_OF_IMAGE_AT + 4:
        raise SymbolError("not a PE image (optional header magic 0x%X)" % magic)
    size, = struct.unpack_from("<I", header, 4 + COFF_HEADER.size + SIZE_OF_IMAGE_AT)
    return stamp, size


def module_key(name: str, stamp: int, size: int) -> str:
    return "%s/%08X%x/%s" % (name.lower(), stamp, size, name.lower())


def file_name_problem(name: str) -> Optional[str]:
    if not FILE_NAME.match(name or "") or ".." in name:
        return "the file name %r is not a bare module name" % name
    if not name.lower().endswith(SYMBOL_SUFFIXES):
        return "the file name %r is not an .exe or .dll" % name
    return None


class SymbolStore:
    def __init__(self, root: str, legacy_folder: Optional[str] = None):
        self.root = root
        self.legacy_folder = legacy_folder
        os.makedirs(root, exist_ok=True)

    def folder(self, key: str) -> str:
        """Where the file of key lives, under the name it was uploaded with: lldb may match
        a module by its file name, whose case the dump keeps."""
        # Keys are built from checked names and hexadecimal digits only.
        return os.path.join(self.root, *key.split("/")[:2])

    def path(self, key: str) -> Optional[str]:
        """The stored file of key, or None."""
        wanted = key.rsplit("/", 1)[-1]
        try:
            names = os.listdir(self.folder(key))
        except OSError:
            return None
        name = next((n for n in names if n.lower() == wanted), None)
        return os.path.join(self.folder(key), name) if name else None

    def key_of(self, name: str, file: BinaryIO) -> str:
        """The key of an uploaded file, from its name and its own header. Raises SymbolError."""
        problem = file_name_problem(name)
        if problem:
            raise SymbolError(problem)
        return module_key(name, *pe_identity(file))

    def put(self, key: str, name: str, staged: str) -> None:
        """Moves a flushed staged file into place; the same key again replaces it whole."""
        folder = self.folder(key)
        os.makedirs(folder, exist_ok=True)
        earlier = self.path(key)
        os.replace(staged, os.path.join(folder, name))
        if earlier and os.path.basename(earlier) != name:
            os.unlink(earlier)

    def files_for(self, modules: list) -> tuple:
        """(paths of the symbol files for the dump's modules, {module name: key} of those
        that have none)."""
        found, missing = [], {}
        legacy = {}
        if self.legacy_folder and os.path.isdir(self.legacy_folder):
            legacy = {n.lower(): os.path.join(self.legacy_folder, n)
                      for n in os.listdir(self.legacy_folder)}
        for module in modules:
            name = module["name"]
            if file_name_problem(name):
                continue
            key = module_key(name, module["time_stamp"], module["size"])
            path = self.path(key)
            if path:
                found.append(path)
            elif os.path.isfile(legacy.get(name.lower(), "")):
                found.append(legacy[name.lower()])
            else:
                missing[name] = key
        return sorted(set(found)), missing
