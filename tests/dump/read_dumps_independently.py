#!/usr/bin/env python3
"""Writes dumps of a crashed helper through the reporter's dump writer, then reads them back
without any of its code: the stream directory parsed here from the published format, and the
whole dump opened by lldb."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

ACCESS_VIOLATION = 0xC0000005
EXCEPTION_STREAM = 6
MEMORY64_LIST_STREAM = 9
REPORTER_STREAM = 0x47670001
CLIENT_BLOCK_STREAM = 0x47670002
CLIENT_BLOCK = bytes((i * 7 + 3) & 0xFF for i in range(776))


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def unix_path(win_path):
    assert win_path[:2].upper() == "Z:", win_path
    return win_path[2:].replace("\\", "/")


def streams(data):
    signature, _version, count, directory = struct.unpack_from("<IIII", data, 0)
    assert signature == 0x504D444D, "not a minidump"
    found = {}
    for i in range(count):
        kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
        assert rva + size <= len(data), "stream outside the file"
        found.setdefault(kind, []).append(data[rva:rva + size])
    return found


def check_streams(path, thread_id, full):
    with open(path, "rb") as f:
        found = streams(f.read())
    assert found[REPORTER_STREAM] == [bytes(12)], "reporter stream"
    assert found[CLIENT_BLOCK_STREAM] == [CLIENT_BLOCK], "client block stream"
    exception = found[EXCEPTION_STREAM][0]
    tid, = struct.unpack_from("<I", exception, 0)
    code, = struct.unpack_from("<I", exception, 8)
    assert tid == thread_id, (tid, thread_id)
    assert code == ACCESS_VIOLATION, hex(code)
    assert (MEMORY64_LIST_STREAM in found) == full, "full memory list"


def check_with_lldb(path, thread_id):
    out = subprocess.run(["lldb", "-b", "-c", path, "-o", "thread list"], capture_output=True,
                         text=True, timeout=120).stdout
    # e.g. "* thread #1: tid = 0x039c, ..., stop reason = Exception 0xc0000005 encountered ..."
    line = next((l for l in out.splitlines() if "stop reason" in l), "")
    match = re.search(r"tid = (0x[0-9a-fA-F]+)", line)
    assert match and int(match.group(1), 16) == thread_id, out
    assert "0xc0000005" in line.lower(), out


def main():
    runner = sys.argv[1:]
    folder = tempfile.mkdtemp(prefix="crdumps-")
    try:
        for dump_type, files in ((0, 1), (2, 2)):
            result = subprocess.run(runner + [windows_path(folder), str(dump_type)],
                                    capture_output=True, text=True, timeout=180)
            assert result.returncode == 0, result
            lines = result.stdout.splitlines()
            thread_id = int(lines[0].split()[1])
            dumps = [unix_path(l.split(" ", 1)[1]) for l in lines[1:]]
            assert len(dumps) == files, lines
            for path in dumps:
                check_streams(path, thread_id, full=path.endswith("-full.dmp"))
                check_with_lldb(path, thread_id)
                print("ok", os.path.basename(path), os.path.getsize(path), "bytes")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
