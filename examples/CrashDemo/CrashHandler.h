#pragma once

#include <windows.h>

class CrashClient;

// The process's last-chance exception filter: asks the reporter for a dump of the crashing
// thread and waits for it, then lets the process end. One per process; the client must stay
// alive (and registered) for the rest of the process's life.
class CrashHandler {
public:
    static void Install(CrashClient& client, DWORD dumpTimeoutMs);

private:
    static LONG WINAPI Filter(EXCEPTION_POINTERS* exception);

    static CrashClient* client_;
    static DWORD dumpTimeoutMs_;
    static volatile LONG reporting_;
};
