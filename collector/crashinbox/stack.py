"""The crashing thread's stack, unwound by Debian's lldb from the minidump. lldb is a separate
process with a time limit: a hostile dump can make it fail, never the collector."""

import math
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from typing import Optional

from .minidump import faulting_module

MAX_FRAMES = 256
# "  * frame #0: 0x004015cf CrashDemo.exe`ns::Function() + 12 at file.cpp:10"
FRAME = re.compile(r"^\s*\*?\s*frame #(\d+): (0x[0-9a-fA-F]+)(?: ([^`\s]+)(?:`(.*))?)?$")
# "Function() + 4 at main.cpp:40:13" -> function, source line
SOURCE = re.compile(r"^(.*?)(?: at (\S+:\d+(?::\d+)?))?$")
# lldb's scripting must find Debian's own python first; a python earlier on PATH breaks it.
SYSTEM_PATH = "/usr/bin:/bin"
PRLIMIT = "/usr/bin/prlimit"
SETPRIV = "/usr/bin/setpriv"


def lldb_program() -> Optional[str]:
    return shutil.which("lldb", path=SYSTEM_PATH)


@dataclass
class Debugger:
    program: Optional[str] = field(default_factory=lldb_program)
    seconds: float = 120
    memory_bytes: int = 1 << 30     # data segment and anonymous mappings; the dump is mapped
    output_bytes: int = 1 << 20


def lldb_command(lldb: str, dump_path: str, search_folder: str,
                 debug_commands: Optional[str] = None) -> list:
    debug = ["-o", 'command source -e false "%s"' % debug_commands] if debug_commands else []
    return [lldb, "--batch", "--no-lldbinit",
            "-o", 'settings set target.exec-search-paths "%s"' % search_folder,
            "-o", 'target create --core "%s"' % dump_path, *debug, "-o", "thread backtrace"]


def link_module_files(modules: list, symbol_paths: list, folder: str) -> None:
    """Links each module's file into folder under the name the dump gives the module. lldb
    looks for a module's image by that name in its search paths, and only an image it loads
    gives it the unwind tables to walk through the module: through the system's modules
    above all, where a hung thread waits. (A file added as symbols only names functions.)"""
    by_name = {os.path.basename(path).lower(): path for path in symbol_paths}
    for module in modules:
        # Only names equal to a stored file's checked name, whatever their case, get here.
        path = by_name.get(module["name"].lower())
        link = os.path.join(folder, module["name"])
        if path and not os.path.lexists(link):
            os.symlink(os.path.abspath(path), link)


def debug_file_commands(modules: list, debug_paths: dict, folder: str) -> list:
    """Links each module's separate debug file beside the module's link, under the name its
    debuglink gives, and returns the lldb commands that add it to the module: lldb 14 does not
    follow the debuglink of a PE module without a build id, as mingw's are. A module lldb did
    not load fails its own command alone (they are sourced without stopping on errors)."""
    commands = []
    for module in modules:
        debug = debug_paths.get(module["name"])
        if not debug:
            continue
        image = os.path.join(folder, module["name"])
        link = os.path.join(folder, os.path.basename(debug))
        if os.path.lexists(image) and not os.path.lexists(link):
            os.symlink(os.path.abspath(debug), link)
            commands.append('target symbols add -s "%s" "%s"' % (image, link))
    return commands


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


def bounded(debugger: Debugger, command: list) -> list:
    """command under limits of CPU time, data memory and output size, ended with its parent:
    a hostile dump can make lldb fail, never outlive or starve the collector."""
    return [PRLIMIT, "--cpu=%d" % max(1, math.ceil(debugger.seconds)),
            "--data=%d" % debugger.memory_bytes, "--fsize=%d" % debugger.output_bytes,
            SETPRIV, "--pdeathsig", "KILL", "--", *command]


def run_bounded(debugger: Debugger, command: list) -> tuple:
    """(exit status, output text) of command; raises subprocess.TimeoutExpired."""
    environment = dict(os.environ, PATH=SYSTEM_PATH + ":" + os.environ.get("PATH", ""))
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(bounded(debugger, command), stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.DEVNULL, env=environment)
        try:
            status = process.wait(debugger.seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
        output.seek(0)
        text = output.read(debugger.output_bytes).decode("utf-8", "replace")
    return status, text


def unwind(dump_path: str, modules: list, symbol_paths: list,
           debugger: Optional[Debugger] = None, debug_paths: Optional[dict] = None) -> dict:
    """{"frames": [...]} or {"frames": [], "error": why}. debug_paths: {module name: its
    separate debug file}."""
    debugger = debugger or Debugger()
    if not debugger.program:
        return {"frames": [], "error": "lldb is not installed"}
    debug_paths = debug_paths or {}
    try:
        with tempfile.TemporaryDirectory(prefix="lldb-") as work:
            folder = os.path.join(work, "modules")
            os.mkdir(folder)
            link_module_files(modules, symbol_paths, folder)
            commands = debug_file_commands(modules, debug_paths, folder)
            command_file = None
            if commands:
                command_file = os.path.join(work, "debug-files")
                with open(command_file, "w") as f:
                    f.write("\n".join(commands) + "\n")
            status, text = run_bounded(debugger, lldb_command(
                debugger.program, os.path.abspath(dump_path), folder, command_file))
    except subprocess.TimeoutExpired:
        return {"frames": [], "error": "lldb took more than %g s" % debugger.seconds}
    except OSError as error:
        return {"frames": [], "error": "lldb did not start: %s" % error}
    frames = parse_backtrace(text, modules)
    if not frames:
        return {"frames": [], "error": "lldb found no stack (exit status %d)" % status}
    return {"frames": frames, "symbols": [os.path.basename(p) for p in symbol_paths] +
            [os.path.basename(p) for p in debug_paths.values()]}
