"""A reader of the public minidump format that seeks to what it needs, so a dump of any size
is read in constant memory. Every size, count and offset is checked against the file; a dump
that points outside itself is refused with DumpError, never read past."""

import struct
from typing import BinaryIO, Optional

SIGNATURE = 0x504D444D  # "MDMP"
HEADER = struct.Struct("<IIIIIIQ")
DIRECTORY_ENTRY = struct.Struct("<III")
MAX_STREAMS = 4096
MAX_THREADS = 65536
MAX_MODULES = 65536
MAX_NAME_BYTES = 64 * 1024
MAX_ANNOTATIONS = 4096
# What the reader may hand on, summed over every entry and name: module lists can point
# thousands of entries at one long name, which would decode (and serialise) once per entry.
MAX_DECODED_BYTES = 16 << 20
ENTRY_COST = 64

THREAD_LIST_STREAM = 3
MODULE_LIST_STREAM = 4
EXCEPTION_STREAM = 6
SYSTEM_INFO_STREAM = 7
MEMORY64_LIST_STREAM = 9
MISC_INFO_STREAM = 15
REPORTER_STREAM = 0x47670001
CLIENT_BLOCK_STREAM = 0x47670002
ANNOTATIONS_STREAM = 0x47670003

THREAD = struct.Struct("<IIIIQQIIII")  # id, suspend, class, priority, teb, stack, context
MODULE = struct.Struct("<QIIII13I8x8x8x8x")
EXCEPTION = struct.Struct("<IIIIQQII15Q")
SYSTEM_INFO = struct.Struct("<HHHBBIIIIIHH")
MISC_INFO = struct.Struct("<IIIIII")
MISC1_PROCESS_ID = 0x1
MISC1_PROCESS_TIMES = 0x2
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
ANNOTATION_UNITS = 64
ANNOTATION_ENTRY_BYTES = 4 * ANNOTATION_UNITS
CLIENT_BLOCK_PREVIEW = 64

EXCEPTION_NAMES = {
    0x80000002: "datatype misalignment",
    0x80000003: "breakpoint",
    0x80000004: "single step",
    0xC0000005: "access violation",
    0xC0000006: "in-page error",
    0xC0000008: "invalid handle",
    0xC000001D: "illegal instruction",
    0xC0000025: "noncontinuable exception",
    0xC0000026: "invalid disposition",
    0xC000008C: "array bounds exceeded",
    0xC000008D: "floating-point denormal operand",
    0xC000008E: "floating-point divide by zero",
    0xC000008F: "floating-point inexact result",
    0xC0000090: "floating-point invalid operation",
    0xC0000091: "floating-point overflow",
    0xC0000092: "floating-point stack check",
    0xC0000093: "floating-point underflow",
    0xC0000094: "integer divide by zero",
    0xC0000095: "integer overflow",
    0xC0000096: "privileged instruction",
    0xC00000FD: "stack overflow",
    0xC0000135: "DLL not found",
    0xC0000142: "DLL initialization failed",
    0xC0000374: "heap corruption",
    0xC0000409: "stack buffer overrun / fail-fast",
    0xC0000417: "invalid C runtime parameter",
    0xC0000420: "assertion failure",
    0x40000015: "fatal application exit (abort)",
    0xE06D7363: "C++ exception (thrown)",
    0xE0435201: "std::terminate called",
    0xE0435202: "uncaught C++ exception",
    0xE0435203: "pure virtual function call",
    0xE0435204: "out of memory (operator new failed)",
    0xE048414E: "application hang",
}
ACCESS_KINDS = {0: "read", 1: "write", 8: "execute"}
ARCHITECTURES = {0: "x86", 5: "ARM", 6: "IA-64", 9: "x64", 12: "ARM64"}
PLATFORMS = {2: "Windows NT"}


class DumpError(Exception):
    """The file is not a minidump this reader can trust."""


def exception_name(code: int) -> str:
    return EXCEPTION_NAMES.get(code, "unknown exception")


class MinidumpFile:
    """Bounded reads of one open dump file."""

    def __init__(self, file: BinaryIO, budget: int = MAX_DECODED_BYTES):
        self.file = file
        file.seek(0, 2)
        self.size = file.tell()
        self.budget = budget
        self.strings = {}

    def charge(self, count: int) -> None:
        self.budget -= count
        if self.budget < 0:
            raise DumpError("the dump decodes to more than %d bytes of entries and names"
                            % MAX_DECODED_BYTES)

    def read(self, offset: int, count: int, what: str) -> bytes:
        if offset < 0 or count < 0 or offset + count > self.size:
            raise DumpError("%s (%d bytes at %d) lies outside the %d-byte file" %
                            (what, count, offset, self.size))
        self.file.seek(offset)
        data = self.file.read(count)
        if len(data) != count:
            raise DumpError("%s could not be read whole" % what)
        return data

    def unpack(self, layout: struct.Struct, offset: int, what: str) -> tuple:
        return layout.unpack(self.read(offset, layout.size, what))

    def string(self, offset: int) -> str:
        """Each address is read once; every use still counts against the budget."""
        text = self.strings.get(offset)
        if text is None:
            length, = struct.unpack("<I", self.read(offset, 4, "a string's length"))
            if length > MAX_NAME_BYTES or length % 2:
                raise DumpError("a string of %d bytes" % length)
            text = self.read(offset + 4, length, "a string").decode("utf-16-le", "replace")
            self.strings[offset] = text
        self.charge(2 * len(text))
        return text


def utf16_field(data: bytes) -> str:
    """A NUL-terminated UTF-16LE text inside a fixed field."""
    text = data.decode("utf-16-le", "replace")
    return text.split("\0", 1)[0]


def version_text(ms: int, ls: int) -> str:
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def module_basename(path: str) -> str:
    return path.replace("/", "\\").rsplit("\\", 1)[-1]


def read_directory(dump: MinidumpFile) -> tuple:
    signature, version, count, rva, _checksum, stamp, flags = dump.unpack(HEADER, 0, "the header")
    if signature != SIGNATURE:
        raise DumpError("not a minidump (no MDMP signature)")
    if count > MAX_STREAMS:
        raise DumpError("%d streams" % count)
    streams = {}
    for i in range(count):
        kind, size, offset = dump.unpack(DIRECTORY_ENTRY, rva + i * DIRECTORY_ENTRY.size,
                                         "the stream directory")
        if kind == 0:  # unused entries
            continue
        if offset + size > dump.size:
            raise DumpError("stream 0x%X (%d bytes at %d) lies outside the %d-byte file" %
                            (kind, size, offset, dump.size))
        streams.setdefault(kind, (size, offset))
    return {"version": version & 0xFFFF, "time_stamp": stamp, "flags": flags}, streams


def read_count(dump: MinidumpFile, stream: tuple, entry_size: int, limit: int, what: str) -> int:
    size, offset = stream
    count, = struct.unpack("<I", dump.read(offset, 4, what))
    if count > limit or 4 + count * entry_size > size:
        raise DumpError("%s claims %d entries, more than its %d bytes hold" % (what, count, size))
    return count


def read_entries(dump: MinidumpFile, stream: tuple, layout: struct.Struct, limit: int,
                 what: str) -> list:
    """The fixed-size entries of a list stream (a 32-bit count, then the entries)."""
    count = read_count(dump, stream, layout.size, limit, what)
    dump.charge(count * ENTRY_COST)
    return [dump.unpack(layout, stream[1] + 4 + i * layout.size, what) for i in range(count)]


def read_modules(dump: MinidumpFile, stream: tuple) -> list:
    modules = []
    for fields in read_entries(dump, stream, MODULE, MAX_MODULES, "the module list"):
        base, size, checksum, stamp, name_rva = fields[:5]
        info = fields[5:]
        module = {"base": base, "size": size, "checksum": checksum, "time_stamp": stamp,
                  "path": dump.string(name_rva), "file_version": None, "product_version": None}
        module["name"] = module_basename(module["path"])
        if info[0] == FIXED_FILE_INFO_SIGNATURE:
            module["file_version"] = version_text(info[2], info[3])
            module["product_version"] = version_text(info[4], info[5])
        modules.append(module)
    return modules


def read_threads(dump: MinidumpFile, stream: tuple) -> list:
    return [{"id": fields[0], "teb": fields[4], "stack_start": fields[5],
             "stack_size": fields[6]}
            for fields in read_entries(dump, stream, THREAD, MAX_THREADS, "the thread list")]


def read_exception(dump: MinidumpFile, stream: tuple) -> dict:
    if stream[0] < EXCEPTION.size:
        raise DumpError("the exception stream is %d bytes" % stream[0])
    fields = dump.unpack(EXCEPTION, stream[1], "the exception stream")
    thread, _, code, flags, _record, address, count, _ = fields[:8]
    parameters = list(fields[8:8 + min(count, 15)])
    exception = {"thread": thread, "code": code, "code_text": "0x%08X" % code,
                 "name": exception_name(code), "flags": flags, "address": address,
                 "parameters": parameters}
    if code == 0xC0000005 and len(parameters) >= 2:
        exception["access"] = "%s at 0x%08X" % (ACCESS_KINDS.get(parameters[0], "access"),
                                               parameters[1])
    return exception


def read_system(dump: MinidumpFile, stream: tuple) -> dict:
    fields = dump.unpack(SYSTEM_INFO, stream[1], "the system info stream")
    arch, level, revision, processors, product, major, minor, build, platform, csd_rva = fields[:10]
    service_pack = ""
    if csd_rva:
        try:
            service_pack = dump.string(csd_rva)
        except DumpError:
            service_pack = ""
    return {"cpu": ARCHITECTURES.get(arch, "architecture %d" % arch), "cpu_level": level,
            "cpu_revision": revision, "processors": processors, "product_type": product,
            "os": "%s %d.%d build %d%s" % (PLATFORMS.get(platform, "platform %d" % platform),
                                            major, minor, build,
                                            (" " + service_pack) if service_pack else "")}


def read_misc(dump: MinidumpFile, stream: tuple, dump_time: int) -> dict:
    if stream[0] < MISC_INFO.size:
        return {}
    _size, flags, pid, created, _user, _kernel = dump.unpack(MISC_INFO, stream[1], "misc info")
    misc = {}
    if flags & MISC1_PROCESS_ID:
        misc["process_id"] = pid
    if flags & MISC1_PROCESS_TIMES and created and dump_time >= created:
        misc["uptime_seconds"] = dump_time - created
    return misc


def read_annotations(dump: MinidumpFile, stream: tuple) -> list:
    count = read_count(dump, stream, ANNOTATION_ENTRY_BYTES, MAX_ANNOTATIONS, "the annotations")
    dump.charge(count * ANNOTATION_ENTRY_BYTES)
    data = dump.read(stream[1] + 4, count * ANNOTATION_ENTRY_BYTES, "the annotations")
    annotations = []
    for i in range(count):
        entry = data[i * ANNOTATION_ENTRY_BYTES:(i + 1) * ANNOTATION_ENTRY_BYTES]
        name = utf16_field(entry[:2 * ANNOTATION_UNITS])
        if name:
            annotations.append({"name": name, "value": utf16_field(entry[2 * ANNOTATION_UNITS:])})
    return annotations


def faulting_module(modules: list, address: int) -> Optional[dict]:
    for module in modules:
        if module["base"] <= address < module["base"] + module["size"]:
            return module
    return None


def read_minidump(file: BinaryIO) -> dict:
    """Everything the collector shows about one dump. Raises DumpError."""
    dump = MinidumpFile(file)
    header, streams = read_directory(dump)
    result = {"size": dump.size, "time_stamp": header["time_stamp"],
              "full_memory": MEMORY64_LIST_STREAM in streams, "modules": [], "threads": [],
              "exception": None, "system": None, "annotations": None, "client_block": None}
    if MODULE_LIST_STREAM in streams:
        result["modules"] = read_modules(dump, streams[MODULE_LIST_STREAM])
    if THREAD_LIST_STREAM in streams:
        result["threads"] = read_threads(dump, streams[THREAD_LIST_STREAM])
    if SYSTEM_INFO_STREAM in streams:
        result["system"] = read_system(dump, streams[SYSTEM_INFO_STREAM])
    if MISC_INFO_STREAM in streams:
        result.update(read_misc(dump, streams[MISC_INFO_STREAM], header["time_stamp"]))
    if EXCEPTION_STREAM in streams:
        exception = read_exception(dump, streams[EXCEPTION_STREAM])
        module = faulting_module(result["modules"], exception["address"])
        if module:
            exception["module"] = module["name"]
            exception["offset"] = exception["address"] - module["base"]
        result["exception"] = exception
    if ANNOTATIONS_STREAM in streams:
        result["annotations"] = read_annotations(dump, streams[ANNOTATIONS_STREAM])
    if CLIENT_BLOCK_STREAM in streams:
        size, offset = streams[CLIENT_BLOCK_STREAM]
        preview = dump.read(offset, min(size, CLIENT_BLOCK_PREVIEW), "the client block")
        result["client_block"] = {"size": size, "preview": preview.hex()}
    return result
