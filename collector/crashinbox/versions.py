"""Application versions: which one a report came from, and their order. Versions compare
numerically per dotted component, so 1.10 comes after 1.9 and 1.2 equals 1.2.0."""

import re
from typing import Optional

VERSION_ANNOTATION = "version"
MAX_VERSION_LENGTH = 64
COMPONENT = re.compile(r"^(\d*)(.*)$")


def report_version(dump: dict) -> Optional[str]:
    """The "version" annotation where the application set one, else the file version of the
    main module (the first of the module list)."""
    for annotation in dump.get("annotations") or ():
        if annotation["name"] == VERSION_ANNOTATION and annotation["value"].strip():
            return annotation["value"].strip()[:MAX_VERSION_LENGTH]
    modules = dump.get("modules") or ()
    return modules[0]["file_version"] if modules else None


def version_key(version: str) -> tuple:
    """A sort key: each dotted component by its leading number, then by what follows it
    ("1.2.3" < "1.2.3-beta", which is the best a plain text can say); trailing zero
    components do not count."""
    parts = []
    for component in version.strip().split("."):
        digits, rest = COMPONENT.match(component).groups()
        parts.append((int(digits) if digits else 0, rest))
    while parts and parts[-1] == (0, ""):
        parts.pop()
    return tuple(parts)


def is_later(version: Optional[str], than: Optional[str]) -> bool:
    """Whether version is known and later than than; an unknown one is never later."""
    if not version or not than:
        return False
    return version_key(version) > version_key(than)
