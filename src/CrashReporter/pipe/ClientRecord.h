#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "CrashProtocol/PipeMessage.h"
#include "Win32/UniqueHandle.h"
#include "Win32/UniqueWait.h"

class CrashPipeServer;

// The server's record of one registered client: what the client told us at registration,
// our handles to its process and events, and the waits that serve its dump requests and
// its exit.
//
// Its memory is reference counted: the list of registered clients holds one reference and
// the handshake holds another while the record is its current client, so a client that dies
// during its own handshake cannot free the record under the connected callback. Destroy()
// releases the system resources at once and drops one reference.
class ClientRecord {
public:
    ClientRecord(CrashPipeServer* server, const PipeMessage& registration,
                 std::uint64_t registrationTime);

    ClientRecord(const ClientRecord&) = delete;
    ClientRecord& operator=(const ClientRecord&) = delete;

    // Refreshes the copy of the client's annotations and the "ptime" entry.
    void ReadAnnotations();

    // Makes the events that tell when a cancelled wait's callback is done. Both exist before
    // either wait is registered, so a cancellation never falls back to one that does not
    // wait at all.
    bool CreateWaitCompletionEvents();

    // Stops both waits without blocking; callbacks still running are waited for by Destroy.
    // Returns, for the caller to wait on, the event set once the exit wait's callback is done.
    // Called at most once, after CreateWaitCompletionEvents succeeded.
    win32::UniqueHandle CancelWaits();

    // Cancels the dump wait and waits for its running callback. Must not run on the thread
    // that serves it.
    void EndDumpWait();

    // True when the client has asked for a dump that nobody has taken up, and still runs.
    bool HasUnservedDumpRequest() const;

    // Cancels the waits and waits for a running callback of either, closes the handles, frees
    // the annotations, and drops one reference. Must not run on a thread that serves one of
    // this record's waits.
    void Destroy();

    void AddReference();
    void Release();

    CrashPipeServer* const server;
    const std::uint32_t processId;
    const std::uint32_t dumpType;
    const ClientWord exceptionPointersAddress;
    const ClientWord clientBlockAddress;
    const ClientWord annotationsAddress;
    const std::uint32_t annotationCount;
    std::unique_ptr<ClientAnnotation[]> annotations;  // null until the first dump request
    std::size_t annotationSlots = 0;                  // entries in annotations
    const ClientWord threadIdAddress;
    win32::UniqueHandle processHandle;
    win32::UniqueHandle dumpRequestEvent;
    win32::UniqueHandle dumpDoneEvent;
    win32::UniqueWait dumpRequestWait;
    win32::UniqueWait processExitWait;
    const std::uint64_t registrationTime;  // UTC, 100-ns units

private:
    ~ClientRecord() = default;

    win32::UniqueHandle dumpWaitDone_;  // set once a cancelled dump wait's callback is done
    win32::UniqueHandle exitWaitDone_;  // set once a cancelled exit wait's callback is done
    bool dumpWaitCancelled_ = false;    // dumpWaitDone_ will be set
    volatile LONG references_ = 1;
};

// The current system time as a 64-bit count of 100-ns units.
std::uint64_t CurrentSystemTime();
