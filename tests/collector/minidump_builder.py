"""Builds small minidumps from the published layout, for tests that need dumps the reporter
does not write: the annotations stream, chosen exceptions, and broken directories."""

import struct

SIGNATURE = 0x504D444D
MODULE_LIST = 4
THREAD_LIST = 3
EXCEPTION = 6
SYSTEM_INFO = 7
MISC_INFO = 15
REPORTER = 0x47670001
CLIENT_BLOCK = 0x47670002
ANNOTATIONS = 0x47670003
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def utf16_field(text, units=64):
    data = text.encode("utf-16-le")[:2 * (units - 1)]
    return data + bytes(2 * units - len(data))


def annotations_stream(pairs):
    """pairs: [(name, value)]; an empty name makes an entry the reader must leave out."""
    return struct.pack("<I", len(pairs)) + b"".join(
        utf16_field(name) + utf16_field(value) for name, value in pairs)


class Builder:
    def __init__(self):
        self.streams = []  # (type, bytes or callable(offset) -> bytes)
        self.extra = []

    def add(self, kind, data):
        self.streams.append((kind, data))
        return self

    def system_info(self, major=10, minor=0, build=19045, processors=4):
        return self.add(SYSTEM_INFO, struct.pack("<HHHBBIIIIIHH", 0, 6, 0x9E0A, processors, 1,
                                                 major, minor, build, 2, 0, 0, 0) + bytes(24))

    def misc_info(self, pid, created):
        return self.add(MISC_INFO, struct.pack("<IIIIII", 24, 0x3, pid, created, 0, 0))

    def modules(self, modules):
        """modules: [(path, base, size, (major, minor, build, revision) or None)]"""
        def build(offset):
            count = len(modules)
            names_at = offset + 4 + 108 * count
            body, names = struct.pack("<I", count), b""
            for path, base, size, version in modules:
                name = path.encode("utf-16-le")
                info = bytes(52)
                if version:
                    ms, ls = version[0] << 16 | version[1], version[2] << 16 | version[3]
                    info = struct.pack("<13I", FIXED_FILE_INFO_SIGNATURE, 0x10000, ms, ls, ms, ls,
                                       0, 0, 4, 1, 0, 0, 0)
                body += struct.pack("<QIIII", base, size, 0, 0x5F000000, names_at + len(names))
                body += info + bytes(32)
                names += struct.pack("<I", len(name)) + name + b"\0\0"
            return body + names
        return self.add(MODULE_LIST, build)

    def modules_sharing_a_name(self, count, name_units):
        """count module entries that all point at one name of name_units UTF-16 units."""
        def build(offset):
            name_at = offset + 4 + 108 * count
            entries = b"".join(struct.pack("<QIIII", 0x10000000 + i * 0x1000, 0x1000, 0, 0,
                                           name_at) + bytes(84) for i in range(count))
            return (struct.pack("<I", count) + entries +
                    struct.pack("<I", 2 * name_units) + "m".encode("utf-16-le") * name_units)
        return self.add(MODULE_LIST, build)

    def threads(self, ids):
        return self.add(THREAD_LIST, struct.pack("<I", len(ids)) + b"".join(
            struct.pack("<IIIIQQIIII", i, 0, 0x20, 0, 0x7FFDE000, 0x0019F000, 0, 0, 0, 0)
            for i in ids))

    def exception(self, thread, code, address, parameters=()):
        params = list(parameters) + [0] * (15 - len(parameters))
        return self.add(EXCEPTION, struct.pack("<IIIIQQII15QII", thread, 0, code, 0, 0, address,
                                               len(parameters), 0, *params, 0, 0))

    def bytes(self, directory_patch=None):
        """The dump; directory_patch(index, (type, size, rva)) may falsify an entry."""
        header_size, entry_size = 32, 12
        offset = header_size + entry_size * len(self.streams)
        directory, payload = [], b""
        for kind, data in self.streams:
            content = data(offset + len(payload)) if callable(data) else data
            directory.append((kind, len(content), offset + len(payload)))
            payload += content
            payload += bytes(-len(payload) % 4)
        if directory_patch:
            directory = [directory_patch(i, e) for i, e in enumerate(directory)]
        header = struct.pack("<IIIIIIQ", SIGNATURE, 0xA793, len(self.streams), header_size, 0,
                             1700000000, 0)
        return header + b"".join(struct.pack("<III", *e) for e in directory) + payload


def sample_dump(code=0xC0000005, address=0x00401234, annotations=None):
    """A dump of an x86 process whose crash lies in app.exe at offset 0x1234."""
    builder = (Builder().system_info()
               .misc_info(4242, 1700000000 - 75)
               .modules([("C:\\Program Files\\App\\app.exe", 0x00400000, 0x10000, (1, 2, 3, 4)),
                         ("C:\\Windows\\System32\\kernel32.dll", 0x76000000, 0x100000, None)])
               .threads([100, 200])
               .exception(200, code, address, [1, 0])
               .add(REPORTER, bytes(12))
               .add(CLIENT_BLOCK, bytes(range(256)) * 3 + bytes(8)))
    if annotations is not None:
        builder.add(ANNOTATIONS, annotations_stream(annotations))
    return builder.bytes()


HANG = 0xE048414E
SYSTEM_BASE = 0x77000000


def app_dump(version=(1, 2, 3, 4), code=0xC0000005, address=0x00401234, annotations=None):
    """A dump of app.exe at file version version (None: no version resource), beside ntdll
    and user32, whose exception is code at address."""
    builder = (Builder().system_info()
               .modules([("C:\\Program Files\\App\\app.exe", 0x00400000, 0x10000, version),
                         ("C:\\Windows\\System32\\ntdll.dll", SYSTEM_BASE, 0x100000, None),
                         ("C:\\Windows\\System32\\user32.dll", SYSTEM_BASE + 0x100000, 0x100000,
                          None)])
               .threads([100, 200])
               .exception(200, code, address, [1, 0] if code == 0xC0000005 else []))
    if annotations is not None:
        builder.add(ANNOTATIONS, annotations_stream(annotations))
    return builder.bytes()


AMD64 = 9
# An x64 CONTEXT: its size, and where its flags, stack pointer and instruction pointer lie.
X64_CONTEXT_SIZE, X64_FLAGS_AT, X64_RSP_AT, X64_RIP_AT = 0x4D0, 0x30, 0x98, 0xF8
X64_CONTROL_AND_INTEGER = 0x100003
STACK_POINTER = 0x0014FE00


def x64_crash_dump(path, base, size, stamp, address, code=0xC0000005, thread=300):
    """A dump of an x64 process with the one module path, its crashing thread standing at
    address: what lldb needs to name the function there from the module's file. The module's
    name and the context lie outside the list streams, whose sizes lldb's reader checks."""
    name = path.encode("utf-16-le")
    context = bytearray(X64_CONTEXT_SIZE)
    struct.pack_into("<I", context, X64_FLAGS_AT, X64_CONTROL_AND_INTEGER)
    struct.pack_into("<Q", context, X64_RSP_AT, STACK_POINTER)
    struct.pack_into("<Q", context, X64_RIP_AT, address)
    streams_at = 32 + 12 * 4
    system = struct.pack("<HHHBBIIIIIHH", AMD64, 6, 0x9E0A, 2, 1, 10, 0, 19045, 2, 0, 0, 0) \
        + bytes(24)
    modules_at = streams_at + len(system)
    threads_at = modules_at + 4 + 108
    exception_at = threads_at + 4 + 48
    name_at = exception_at + 168
    context_at = name_at + 4 + len(name) + 2
    context_at += -context_at % 8
    modules = struct.pack("<IQIIII", 1, base, size, 0, stamp, name_at) + bytes(52 + 32)
    threads = struct.pack("<IIIIIQQIIII", 1, thread, 0, 0x20, 0, 0x7FFDE000, STACK_POINTER, 0, 0,
                          X64_CONTEXT_SIZE, context_at)
    parameters = [1, 0] + [0] * 13 if code == 0xC0000005 else [0] * 15
    exception = struct.pack("<IIIIQQII15QII", thread, 0, code, 0, 0, address,
                            2 if code == 0xC0000005 else 0, 0, *parameters,
                            X64_CONTEXT_SIZE, context_at)
    directory = [(SYSTEM_INFO, len(system), streams_at), (MODULE_LIST, len(modules), modules_at),
                 (THREAD_LIST, len(threads), threads_at),
                 (EXCEPTION, len(exception), exception_at)]
    header = struct.pack("<IIIIIIQ", SIGNATURE, 0xA793, len(directory), 32, 0, 1700000000, 0)
    body = (header + b"".join(struct.pack("<III", *e) for e in directory) + system + modules +
            threads + exception + struct.pack("<I", len(name)) + name + b"\0\0")
    return body + bytes(context_at - len(body)) + bytes(context)
