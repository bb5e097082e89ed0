"""The crashing thread's stack, unwound by Debian's lldb from the minidump. lldb is a separate
process with a time limit: a hostile dump can make it fail, never the collector."""

import os
import re
import shutil
import subprocess
from typing import Optional

from .minidump import faulting_module

LLDB_SECONDS = 120
MAX_FRAMES = 256
# "  * frame #0: 0x004015cf CrashDemo.exe`ns::Function() + 12 at file.cpp:10"
FRAME = re.compile(r"^\s*\*?\s*frame #(\d+): (0x[0-9a-fA-F]+)(?: ([^`\s]+)(?:`(.*))?)?$")
# "Function() + 4 at main.cpp:40:13" -> function, source line
SOURCE = re.compile(r"^(.*?)(?: at (\S+:\d+(?::\d+)?))?$")
# lldb's scripting must find Debian's own python first; a python earlier on PATH breaks it.
SYSTEM_PATH = "/usr/bin:/bin"


def lldb_program() -> Optional[str]:
    return shutil.which("lldb", path=SYSTEM_PATH)


def symbol_files(symbols: Optional[str], modules: list) -> list:
    """The files in the symbol folder named like a module of the dump (case-insensitive)."""
    if not symbols or not os.path.isdir(symbols):
        return []
    present = {name.lower(): name for name in os.listdir(symbols)}
    found = []
    for module in modules:
        name = present.get(module["name"].lower())
        if name and os.path.isfile(os.path.join(symbols, name)):
            found.append(os.path.join(symbols, name))
    return sorted(set(found))


def lldb_command(lldb: str, dump_path: str, symbol_paths: list) -> list:
    command = [lldb, "--batch", "--no-lldbinit", "-o", 'target create --core "%s"' % dump_path]
    for path in symbol_paths:
        command += ["-o", 'target symbols add "%s"' % path]
    return command + ["-o", "thread backtrace"]


def parse_backtrace(text: str, modules: list) -> list:
    """Frames of lldb's 'thread backtrace' output, each with its module offset."""
    frames = []
    for line in text.splitlines():
        match = FRAME.match(line)
        if not match or len(frames) >= MAX_FRAMES:
            continue
        address = int(match.group(2), 16)
        function, source = SOURCE.match((match.group(4) or "").strip()).groups()
        function = re.sub(r" \+ \d+$", "", function)
        frame = {"index": int(match.group(1)), "address": address, "module": match.group(3),
                 "function": function or None, "source": source, "offset": None}
        module = faulting_module(modules, address)
        if module:
            frame["module"] = module["name"]
            frame["offset"] = address - module["base"]
        frames.append(frame)
    return frames


def unwind(dump_path: str, modules: list, symbols: Optional[str]) -> dict:
    """{"frames": [...]} or {"frames": [], "error": why}."""
    lldb = lldb_program()
    if not lldb:
        return {"frames": [], "error": "lldb is not installed"}
    symbol_paths = symbol_files(symbols, modules)
    environment = dict(os.environ, PATH=SYSTEM_PATH + ":" + os.environ.get("PATH", ""))
    try:
        done = subprocess.run(lldb_command(lldb, os.path.abspath(dump_path), symbol_paths),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              errors="replace", timeout=LLDB_SECONDS, env=environment)
    except subprocess.TimeoutExpired:
        return {"frames": [], "error": "lldb took more than %d s" % LLDB_SECONDS}
    except OSError as error:
        return {"frames": [], "error": "lldb did not start: %s" % error}
    frames = parse_backtrace(done.stdout, modules)
    if not frames:
        return {"frames": [], "error": "lldb found no stack (exit status %d)" % done.returncode}
    return {"frames": frames, "symbols": [os.path.basename(p) for p in symbol_paths]}
