#!/usr/bin/python3
"""Stands in for lldb where a test needs a debugger that misbehaves or shows what it was
given. The file named by FAKE_LLDB_STATE says what to do; beside it go <state>.pid and
<state>.argv."""

import os
import sys
import time

BACKTRACE = """* thread #1, stop reason = Exception 0xc0000005 encountered at address 0x401234
  * frame #0: 0x00401234 app.exe`Crash() + 4 at main.cpp:10
    frame #1: 0x00401300 app.exe`wmain
"""

state = os.environ["FAKE_LLDB_STATE"]
with open(state + ".argv", "w") as f:
    f.write("\n".join(sys.argv[1:]))
with open(state + ".pid", "w") as f:
    f.write(str(os.getpid()))
with open(state) as f:
    mode = f.read().strip()
if mode == "hang":
    time.sleep(600)
elif mode == "flood":
    while True:
        sys.stdout.write("frame #0: " * 1000)
elif mode == "hoard":
    hoard = bytearray(1 << 30)
    time.sleep(600)
elif mode == "symbols":
    # Names the function only when app.exe's file from the symbol folder is in its search
    # path under the dump's name for it; records what the search path held.
    search = next(a for a in sys.argv if a.startswith("settings set target.exec-search-paths"))
    folder = search.split('"')[1]
    held = {n: os.path.realpath(os.path.join(folder, n)) for n in os.listdir(folder)}
    with open(state + ".modules", "w") as f:
        f.write("\n".join("%s %s" % item for item in sorted(held.items())))
    if any(n.lower() == "app.exe" for n in held):
        sys.stdout.write(BACKTRACE)
