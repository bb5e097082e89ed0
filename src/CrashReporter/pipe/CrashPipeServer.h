#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "CrashReporter/dump/DumpWriter.h"
#include "CrashProtocol/PipeMessage.h"
#include "Win32/CriticalSection.h"
#include "Win32/UniqueHandle.h"
#include "Win32/UniqueTimer.h"
#include "Win32/UniqueWait.h"

class ClientRecord;

using ClientConnectedCallback = void (*)(void* context, ClientRecord* client);
using DumpRequestedCallback = void (*)(void* context, ClientRecord* client,
                                       const std::wstring* dumpPath);
using ClientExitedCallback = void (*)(void* context, ClientRecord* client);

enum class PipeServerState : std::uint32_t {
    NotStarted = 0,
    Stopped = 1,
    Listen = 2,
    ConnectPending = 3,
    ReadRegistration = 4,
    RegistrationPending = 5,
    ProcessRegistration = 6,
    ReplyPending = 7,
    ReadAcknowledgement = 8,
    AcknowledgementPending = 9,
    Disconnect = 10,
};

// The listening end of the crash pipe. One pipe instance walks one client at a time through
// register, reply and acknowledgement, driven by a thread-pool wait on the overlapped
// record's event; registered clients are then served through waits of their own.
// Destruction shuts everything down and must run on the thread that called Start, which
// owns the server-alive mutex. Every state, the first listen included, runs on the wait
// thread; the destructor alone closes what the server owns.
//
// With one pipe instance, a client that connects and then stays silent would keep every
// other client from registering; each handshake step is therefore bounded, and a client that
// overruns the bound is disconnected.
class CrashPipeServer {
public:
    CrashPipeServer(const std::wstring& pipeName, ClientConnectedCallback connectedCallback,
                    void* connectedContext, DumpRequestedCallback dumpRequestedCallback,
                    void* dumpRequestedContext, ClientExitedCallback exitedCallback,
                    void* exitedContext, const std::wstring* dumpDirectory);
    ~CrashPipeServer();

    CrashPipeServer(const CrashPipeServer&) = delete;
    CrashPipeServer& operator=(const CrashPipeServer&) = delete;

    // Creates the kernel objects and starts listening; true while listening or in a handshake.
    bool Start();

    PipeServerState State() const { return state_.load(); }

private:
    static VOID CALLBACK OnPipeEvent(PVOID context, BOOLEAN timedOut);
    void Dispatch();
    static VOID CALLBACK OnHandshakeCheck(PVOID context, BOOLEAN timedOut);
    void ArmWatchdog();
    void SetStateAndSignal(PipeServerState next);

    void HandleStopped();
    void HandleListen();
    void HandleConnectPending();
    void HandleReadRegistration();
    void HandleRegistrationPending();
    void HandleProcessRegistration();
    void HandleReplyPending();
    void HandleReadAcknowledgement();
    void HandleAcknowledgementPending();
    void HandleDisconnect();

    bool IsRegistrationFromPipeClient() const;
    void ReportOtherWidthRegistration(DWORD readSoFar) const;
    bool RegisterClient(ClientRecord* record);
    bool AddClient(ClientRecord* record);
    void DiscardRefusedRecord(ClientRecord* record);
    void ReleaseCurrentClient();

    static VOID CALLBACK OnDumpRequest(PVOID context, BOOLEAN timedOut);
    void HandleDumpRequest(ClientRecord* record);
    static VOID CALLBACK OnClientProcessExit(PVOID context, BOOLEAN timedOut);
    static DWORD WINAPI RemoveClientWork(PVOID context);
    static DWORD WINAPI DestroyRecordWork(PVOID context);
    bool QueueExitWork(LPTHREAD_START_ROUTINE work, ClientRecord* record);

    void StopWatchingClients();
    void WaitForExitWork();
    void DestroyClients();

    win32::CriticalSection clientsLock_;
    std::list<ClientRecord*> clients_;  // registration order; each entry holds a reference
    const std::wstring pipeName_;
    win32::UniqueHandle pipeHandle_;
    win32::UniqueWait pipeWait_;
    win32::UniqueHandle serverAliveMutex_;
    const ClientConnectedCallback connectedCallback_;
    void* const connectedContext_;
    const DumpRequestedCallback dumpRequestedCallback_;
    void* const dumpRequestedContext_;
    const ClientExitedCallback exitedCallback_;
    void* const exitedContext_;
    DumpWriter dumpWriter_;
    std::atomic<PipeServerState> state_{PipeServerState::NotStarted};
    std::atomic<bool> shuttingDown_{false};
    OVERLAPPED overlapped_{};
    win32::UniqueHandle pipeEvent_;
    PipeMessage messageBuffer_{};
    PipeMessage replyBuffer_{};
    ClientRecord* currentClient_ = nullptr;  // holds a reference while set
    int failedConnects_ = 0;                 // in a row; used on the wait thread only
    win32::UniqueTimer handshakeTimer_;      // one-shot, only while a client step waits
    volatile LONG pendingExitWork_ = 0;
    std::list<win32::UniqueHandle> exitWaitsDone_;  // cancelled exit waits, for the shutdown
};
