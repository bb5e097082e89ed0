"""Crash signatures: what makes two reports the same bug. Pure functions."""

import hashlib
from typing import Optional


def crash_signature(exception: Optional[dict], frames: list) -> str:
    """Exception code + faulting module + the crashing function when symbols named it, else
    the offset in the module. Module load addresses differ between runs; offsets do not."""
    if not exception:
        return "no exception"
    code = exception["code_text"]
    module = exception.get("module")
    if not module:
        return "%s at unknown module" % code
    top = frames[0] if frames else None
    if top and top.get("function") and top.get("offset") == exception.get("offset"):
        return "%s %s!%s" % (code, module, top["function"])
    return "%s %s+0x%X" % (code, module, exception["offset"])


def group_id(signature: str) -> str:
    return hashlib.sha256(signature.encode("utf-8")).hexdigest()[:16]
