"""Crash signatures: what makes two reports the same bug. Pure functions."""

import hashlib
import re
from typing import Optional

# Codes the client library records as a synthetic exception where a runtime ended the process
# (abort, an invalid parameter, terminate, an uncaught exception, a pure call, out of memory).
# Their address lies in the crash handling, the same for every such crash of a module; the
# application's own frame is the first one below the handling and the runtime's failure path.
SYNTHETIC_CODES = frozenset({0x40000015, 0xC0000417, 0xE0435201, 0xE0435202, 0xE0435203,
                             0xE0435204})
HANDLING_FRAME = re.compile(
    r"ReportSynthetic|ReportAndEnd|OnTerminate|OnAbortSignal|OnPureCall|OnInvalidParameter|"
    r"VirtualCallFailed|__cxa_|__cxxabiv1|__gnu_cxx|std::terminate|std::rethrow|\babort\b|"
    r"\braise\b|_invalid_parameter|_purecall|_Unwind_")
HANG_CODE = 0xE048414E
# A hung thread waits inside the system; the frame that matters is the application's below.
SYSTEM_MODULES = frozenset({"ntdll.dll", "kernel32.dll", "kernelbase.dll", "user32.dll",
                            "win32u.dll", "gdi32.dll", "gdi32full.dll", "msvcrt.dll",
                            "ucrtbase.dll", "combase.dll", "sechost.dll"})
# lldb names a frame with its arguments' values, "f(kind=<unavailable>)"; values differ
# between runs, the function does not.
ARGUMENT_VALUES = re.compile(r"\(([^()]*=[^()]*)\)$")


def function_name(text: str) -> str:
    return ARGUMENT_VALUES.sub("()", text)


def is_system_module(name: Optional[str]) -> bool:
    return (name or "").lower() in SYSTEM_MODULES


def hang_signature(exception: dict, frames: list) -> str:
    """"hang" + the first frame outside the system's modules, by function where symbols
    named it, else by module + offset; without such a frame, where the thread waits."""
    own = next((f for f in frames if f.get("module") and not is_system_module(f["module"])),
               None)
    if own and own.get("function"):
        return "hang %s!%s" % (own["module"], function_name(own["function"]))
    if own and own.get("offset") is not None:
        return "hang %s+0x%X" % (own["module"], own["offset"])
    if exception.get("module"):
        return "hang %s+0x%X" % (exception["module"], exception["offset"])
    return "hang at unknown module"


def crash_signature(exception: Optional[dict], frames: list) -> str:
    """Exception code + faulting module + the crashing function when symbols named it, else
    the offset in the module. Module load addresses differ between runs; offsets do not.
    Hangs group apart, by where the application waits."""
    if not exception:
        return "no exception"
    if exception.get("code") == HANG_CODE:
        return hang_signature(exception, frames)
    code = exception["code_text"]
    if exception.get("code") in SYNTHETIC_CODES:
        own = next((f for f in frames if f.get("function") and f.get("module")
                    and not HANDLING_FRAME.search(f["function"])), None)
        if own:
            return "%s %s!%s" % (code, own["module"], function_name(own["function"]))
    module = exception.get("module")
    if not module:
        return "%s at unknown module" % code
    top = frames[0] if frames else None
    if top and top.get("function") and top.get("offset") == exception.get("offset"):
        return "%s %s!%s" % (code, module, function_name(top["function"]))
    return "%s %s+0x%X" % (code, module, exception["offset"])


def group_id(signature: str) -> str:
    return hashlib.sha256(signature.encode("utf-8")).hexdigest()[:16]
