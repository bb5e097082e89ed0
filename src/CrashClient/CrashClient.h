#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "CrashClient/AnnotationTable.h"
#include "CrashProtocol/PipeMessage.h"
#include "Win32/UniqueHandle.h"

// The client application's side of the crash pipe. An application makes one CrashClient
// early, registers it with its reporter, and from its crash handler asks for a dump and
// waits until the reporter is done with it.
//
// The object holds, at fixed addresses the reporter reads, the crashing thread's id, the
// exception-pointers value, the 776-byte client block and the annotation array; it is
// neither copied nor moved.
class CrashClient {
public:
    enum class DumpWait {
        Done,          // the reporter set dump-done: the report has been handled
        ReporterGone,  // the reporter's server-alive mutex was released or abandoned
        TimedOut,      // neither within the time the application chose
        Failed,        // not registered, or the request could not be made
    };

    explicit CrashClient(std::size_t annotationCapacity = 0);
    CrashClient(const CrashClient&) = delete;
    CrashClient& operator=(const CrashClient&) = delete;

    // Connects to the reporter's pipe and runs the handshake: register, read the reply,
    // acknowledge. Waits up to timeoutMs for a busy pipe, and once connected up to timeoutMs
    // for the exchange itself. True once registered.
    bool Register(const std::wstring& pipeName, std::uint32_t dumpType, DWORD timeoutMs = 5000);

    // The same with a Register message of the caller's making (see MakeRegistration).
    bool Register(const std::wstring& pipeName, const PipeMessage& registration, DWORD timeoutMs);

    // Sets an annotation the reporter reads at every dump request (see AnnotationTable).
    bool SetAnnotation(const std::wstring& name, const std::wstring& value)
    {
        return annotations_.Set(name, value);
    }
    AnnotationTable& Annotations() { return annotations_; }

    // The opaque block copied into every dump.
    std::uint8_t* ClientBlock() { return clientBlock_; }

    // Asks for a dump of this process for the given thread and exception (may be null) and
    // waits for the reporter. dump-done is reset first, so a second request waits for its own
    // answer. The wait also ends when the reporter goes away, and after timeoutMs.
    DumpWait RequestDump(DWORD threadId, EXCEPTION_POINTERS* exception, DWORD timeoutMs);

    // True while the reporter's server-alive mutex is held by its server.
    bool IsReporterAlive() const;

    bool IsRegistered() const { return static_cast<bool>(dumpRequestEvent_); }

    // The handles received in the reply, for callers that want to inspect them.
    HANDLE DumpRequestEvent() const { return dumpRequestEvent_.get(); }
    HANDLE DumpDoneEvent() const { return dumpDoneEvent_.get(); }
    HANDLE ServerAliveMutex() const { return serverAliveMutex_.get(); }
    std::uint32_t ServerProcessId() const { return serverProcessId_; }

    // The Register message this client sends, for callers that speak the protocol themselves.
    PipeMessage MakeRegistration(std::uint32_t dumpType) const;

private:
    volatile std::uint32_t threadId_ = 0;
    volatile ClientWord exceptionPointers_ = 0;
    std::uint8_t clientBlock_[kClientBlockSize] = {};
    AnnotationTable annotations_;

    win32::UniqueHandle dumpRequestEvent_;
    win32::UniqueHandle dumpDoneEvent_;
    win32::UniqueHandle serverAliveMutex_;
    std::uint32_t serverProcessId_ = 0;
};

// "Done", "ReporterGone", "TimedOut" or "Failed": how test and sample programs print it.
const char* DumpWaitText(CrashClient::DumpWait result);

// Connects to a crash pipe as a client, in message read mode; waits up to timeoutMs while
// the single instance is busy with another client.
win32::UniqueHandle ConnectToCrashPipe(const std::wstring& pipeName, DWORD timeoutMs);
