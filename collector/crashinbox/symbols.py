"""Symbols: executables and DLLs with debug information, kept under the symbol-server key of
each (file name / TimeDateStamp and SizeOfImage from its PE header / file name), which is
also what a minidump records of every loaded module. A team uploads them once per build;
processing hands lldb the files whose keys match the dump's modules. An older symbol folder
of files matched by name alone still works.

A stripped module's separate debug file is kept beside it under the name the module's
.gnu_debuglink gives. Its own header cannot prove the key: objcopy writes a new TimeDateStamp
into every PE file it writes, and the debug sections count in its SizeOfImage. What ties it to
the module is the CRC32 that the debuglink records, checked against the stored module."""

import os
import re
import struct
import zlib
from typing import BinaryIO, Optional

from .store import fsync_folder

PE_OFFSET_AT = 0x3C
MAX_PE_OFFSET = 1 << 16
COFF_HEADER = struct.Struct("<HHIIIHH")  # machine, sections, stamp, ..., optional size, flags
OPTIONAL_MAGICS = {0x10B, 0x20B}
SIZE_OF_IMAGE_AT = 56  # in the optional header, the same for PE32 and PE32+
# What a module name may be: a Windows file name without folders.
FILE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9 ._+~-]{0,199}$")
SYMBOL_SUFFIXES = (".exe", ".dll")
KEY = re.compile(r"^([^/]+)/([0-9A-Fa-f]{9,16})/([^/]+)$")
SECTION_HEADER = struct.Struct("<8sIIII")  # name, virtual size and address, raw size, raw at
SECTION_HEADER_SIZE = 40
SYMBOL_RECORD_SIZE = 18
MAX_SECTIONS = 96
DEBUG_LINK = ".gnu_debuglink"
MAX_DEBUG_LINK_BYTES = 4096
CRC_CHUNK = 1 << 20


class SymbolError(Exception):
    """The file is not one the symbol store takes; the text says why."""


def pe_headers(file: BinaryIO) -> tuple:
    """(offset of the PE signature, COFF header fields, optional header's first bytes)."""
    file.seek(0)
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
    coff = COFF_HEADER.unpack_from(header, 4)
    magic, = struct.unpack_from("<H", header, 4 + COFF_HEADER.size)
    if magic not in OPTIONAL_MAGICS or coff[5] < SIZE_OF_IMAGE_AT + 4:
        raise SymbolError("not a PE image (optional header magic 0x%X)" % magic)
    return offset, coff, header[4 + COFF_HEADER.size:]


def pe_identity(file: BinaryIO) -> tuple:
    """(TimeDateStamp, SizeOfImage) from a PE file's headers. Raises SymbolError."""
    _, coff, optional = pe_headers(file)
    size, = struct.unpack_from("<I", optional, SIZE_OF_IMAGE_AT)
    return coff[2], size


def section_name(file: BinaryIO, raw: bytes, strings_at: int) -> str:
    """A section's name; names longer than eight bytes are "/offset" into the string table."""
    name = raw.rstrip(b"\0")
    if name[:1] == b"/" and name[1:].isdigit() and strings_at:
        file.seek(strings_at + int(name[1:]))
        name = file.read(64).split(b"\0", 1)[0]
    return name.decode("latin-1")


def debug_link(file: BinaryIO) -> Optional[tuple]:
    """(file name, CRC32) that a PE file's .gnu_debuglink section records, or None when it has
    none. Raises SymbolError for a file that is not a PE image."""
    offset, coff, _ = pe_headers(file)
    _, sections, _, symbols_at, symbols, optional_size, _ = coff
    file.seek(offset + 4 + COFF_HEADER.size + optional_size)
    table = file.read(SECTION_HEADER_SIZE * min(sections, MAX_SECTIONS))
    strings_at = symbols_at + SYMBOL_RECORD_SIZE * symbols if symbols_at else 0
    for at in range(0, len(table) - SECTION_HEADER_SIZE + 1, SECTION_HEADER_SIZE):
        raw_name, virtual_size, _, raw_size, raw_at = SECTION_HEADER.unpack_from(table, at)
        if section_name(file, raw_name, strings_at) != DEBUG_LINK:
            continue
        file.seek(raw_at)
        content = file.read(min(virtual_size or raw_size, raw_size, MAX_DEBUG_LINK_BYTES))
        name, _, _ = content.partition(b"\0")
        crc_at = (len(name) + 4) & ~3  # the name, its NUL, padding to four bytes
        if len(content) < crc_at + 4:
            raise SymbolError("the .gnu_debuglink section is cut short")
        return name.decode("latin-1"), struct.unpack_from("<I", content, crc_at)[0]
    return None


def kept_link(module: BinaryIO) -> Optional[tuple]:
    """The module's debug link when it names a file the store can keep beside the module: a
    bare name that is not a module's."""
    try:
        link = debug_link(module)
    except SymbolError:
        return None
    if not link or bare_name_problem(link[0]) or is_module_name(link[0]):
        return None
    return link


def file_crc(file: BinaryIO) -> int:
    """The CRC32 of a whole file, as a debuglink records it."""
    file.seek(0)
    crc = 0
    for chunk in iter(lambda: file.read(CRC_CHUNK), b""):
        crc = zlib.crc32(chunk, crc)
    return crc


def module_key(name: str, stamp: int, size: int) -> str:
    return "%s/%08X%x/%s" % (name.lower(), stamp, size, name.lower())


def parse_key(text: str) -> str:
    """A module key sent by a client, as the store writes it. Raises SymbolError."""
    match = KEY.match(text or "")
    if (not match or match.group(1).lower() != match.group(3).lower()
            or file_name_problem(match.group(1))):
        raise SymbolError("%r is not a module key (name/TIMESTAMPSIZE/name)" % text)
    return module_key(match.group(1), int(match.group(2)[:8], 16), int(match.group(2)[8:], 16))


def bare_name_problem(name: str) -> Optional[str]:
    if not FILE_NAME.match(name or "") or ".." in name:
        return "the file name %r is not a bare file name" % name
    return None


def file_name_problem(name: str) -> Optional[str]:
    if bare_name_problem(name):
        return "the file name %r is not a bare module name" % name
    if not is_module_name(name):
        return ("the file name %r is not an .exe or .dll (nor a debug file sent with its "
                "module's key)" % name)
    return None


def is_module_name(name: str) -> bool:
    """Module files are the .exe and .dll files; other symbol files are separate debug files."""
    return name.lower().endswith(SYMBOL_SUFFIXES)


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
        """Moves a flushed staged file into place; the same key again replaces it whole, and
        drops the debug file kept beside it unless the new module names that file too."""
        folder = self.folder(key)
        os.makedirs(folder, exist_ok=True)
        earlier = self.path(key)
        os.replace(staged, os.path.join(folder, name))
        if earlier and os.path.basename(earlier) != name:
            os.unlink(earlier)
        link = self.debug_link(key)
        for other in set(os.listdir(folder)) - {name}:
            path = os.path.join(folder, other)
            if not link or other != link[0] or not self.crc_is(path, link[1]):
                os.unlink(path)

    @staticmethod
    def crc_is(path: str, crc: int) -> bool:
        with open(path, "rb") as f:
            return file_crc(f) == crc

    def debug_link(self, key: str) -> Optional[tuple]:
        """(name, CRC32) of the debug file that the module stored under key names, or None
        when there is no module, or it names none, or none the store can keep."""
        path = self.path(key)
        if not path:
            return None
        try:
            with open(path, "rb") as f:
                return kept_link(f)
        except OSError:
            return None

    def check_debug_file(self, key: str, name: str, file: BinaryIO,
                         module: Optional[BinaryIO] = None) -> tuple:
        """(key as the store writes it, name to keep the file under) of the debug file of the
        module of key, once it is the file that the module's debuglink names: by name and by
        CRC32. module is the module's file when it comes in the same upload, else the stored
        one counts. Raises SymbolError."""
        problem = bare_name_problem(name)
        if problem:
            raise SymbolError(problem)
        key = parse_key(key)
        if module is not None:
            link = kept_link(module)
        elif self.path(key):
            link = self.debug_link(key)
        else:
            raise SymbolError("no module is stored under the key %r: upload the module "
                              "before its debug file" % key)
        if not link:
            raise SymbolError("the module of %r names no debug file (.gnu_debuglink)" % key)
        if link[0].lower() != name.lower():
            raise SymbolError("the module of %r names the debug file %r, not %r"
                              % (key, link[0], name))
        crc = file_crc(file)
        if crc != link[1]:
            raise SymbolError("the debug file %r has the CRC32 %08x, the module of %r "
                              "records %08x: not the debug file of this build"
                              % (name, crc, key, link[1]))
        return key, link[0]

    def put_debug(self, key: str, name: str, staged: BinaryIO) -> None:
        """Moves a staged debug file, checked by check_debug_file, beside its module,
        durably."""
        staged.flush()
        os.fsync(staged.fileno())
        os.replace(staged.name, os.path.join(self.folder(key), name))
        fsync_folder(self.folder(key))

    def files_for(self, modules: list) -> tuple:
        """(paths of the symbol files for the dump's modules, {module name: key} of those
        that have none, or whose module names a debug file not stored yet, {module name: its
        separate debug file} of those that have one). A debug file's CRC was checked when it
        came, and put drops it when a module that does not name it replaces its own."""
        found, missing, debug_files = [], {}, {}
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
                link = self.debug_link(key)
                debug = link and os.path.join(self.folder(key), link[0])
                if debug and os.path.isfile(debug):
                    debug_files[name] = debug
                elif debug:
                    missing[name] = key
            elif os.path.isfile(legacy.get(name.lower(), "")):
                found.append(legacy[name.lower()])
            else:
                missing[name] = key
        return sorted(set(found)), missing, debug_files
