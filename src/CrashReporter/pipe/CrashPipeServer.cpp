#include "CrashReporter/pipe/CrashPipeServer.h"

#include <vector>

#include "CrashReporter/dump/AnnotationStream.h"
#include "CrashReporter/pipe/ClientRecord.h"

namespace {

constexpr DWORD kPipeOpenMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
constexpr DWORD kPipeInstances = 1;
constexpr DWORD kPipeBufferSize = 64;
constexpr DWORD kPipeDefaultTimeout = 0;  // the system default

constexpr ULONG kPipeWaitFlags = WT_EXECUTEINWAITTHREAD;
// A handshake takes milliseconds; a client still silent after this long is cut off so that
// the next client can be served.
constexpr DWORD kHandshakeStepTimeoutMs = 3000;
constexpr DWORD kOneShotTimer = 0;
constexpr ULONG kHandshakeTimerFlags = WT_EXECUTEINTIMERTHREAD | WT_EXECUTEONLYONCE;
// A connect that fails twice in a row is retried after this pause, so that a pipe that keeps
// failing cannot spin the wait thread.
constexpr DWORD kRelistenPauseMs = 50;
constexpr ULONG kDumpRequestWaitFlags = WT_EXECUTEINWAITTHREAD | WT_EXECUTELONGFUNCTION;
constexpr ULONG kProcessExitWaitFlags = WT_EXECUTEONLYONCE;

constexpr DWORD kClientProcessAccess = GENERIC_ALL;

constexpr DWORD kExitWorkPollIntervalMs = 5;
constexpr DWORD kExitWorkBoundMs = 10000;

// The states in which the server waits for the connected client to do its part.
bool IsClientStep(PipeServerState state)
{
    return state == PipeServerState::RegistrationPending ||
           state == PipeServerState::ReplyPending ||
           state == PipeServerState::AcknowledgementPending;
}

win32::UniqueHandle CreateManualResetEvent()
{
    return win32::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

const void* ClientAddress(ClientWord address)
{
    return reinterpret_cast<const void*>(address);
}

// A value of the client's: its thread id (32 bits) or its exception-pointers value (a pointer).
template <typename Value>
bool ReadClientValue(HANDLE process, ClientWord address, Value& value)
{
    SIZE_T read = 0;
    return ::ReadProcessMemory(process, ClientAddress(address), &value, sizeof(value), &read) &&
           read == sizeof(value);
}

// Duplicates one of our handles into the client; the value is only meaningful there.
bool DuplicateIntoClient(HANDLE client, HANDLE source, DWORD access, ClientWord& target)
{
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, client, &duplicate, access, FALSE, 0)) {
        return false;
    }
    target = reinterpret_cast<ClientWord>(duplicate);
    return true;
}

// Takes back handles already given to a client that is then refused.
void CloseInClient(HANDLE client, ClientWord value)
{
    if (value != 0) {
        ::DuplicateHandle(client, reinterpret_cast<HANDLE>(value),
                          nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
    }
}

}  // namespace

CrashPipeServer::CrashPipeServer(const std::wstring& pipeName,
                                 ClientConnectedCallback connectedCallback, void* connectedContext,
                                 DumpRequestedCallback dumpRequestedCallback,
                                 void* dumpRequestedContext, ClientExitedCallback exitedCallback,
                                 void* exitedContext, const std::wstring* dumpDirectory)
    : pipeName_(pipeName),
      connectedCallback_(connectedCallback),
      connectedContext_(connectedContext),
      dumpRequestedCallback_(dumpRequestedCallback),
      dumpRequestedContext_(dumpRequestedContext),
      exitedCallback_(exitedCallback),
      exitedContext_(exitedContext),
      dumpWriter_(dumpDirectory != nullptr ? *dumpDirectory : std::wstring())
{
}

bool CrashPipeServer::Start()
{
    if (state_.load() != PipeServerState::NotStarted) {
        return false;
    }
    state_ = PipeServerState::Listen;
    serverAliveMutex_.reset(::CreateMutexW(nullptr, TRUE, nullptr));
    if (!serverAliveMutex_) {
        return false;
    }
    pipeEvent_ = CreateManualResetEvent();
    if (!pipeEvent_) {
        return false;
    }
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = pipeEvent_.get();
    pipeHandle_.reset(::CreateNamedPipeW(pipeName_.c_str(), kPipeOpenMode, kPipeMode,
                                         kPipeInstances, kPipeBufferSize, kPipeBufferSize,
                                         kPipeDefaultTimeout, nullptr));
    if (!pipeHandle_) {
        return false;
    }
    // Every state runs on the wait thread, the first listen included: the signalled event
    // hands it over, so no I/O is ever started while another thread moves the state.
    if (!::SetEvent(pipeEvent_.get())) {
        return false;
    }
    return ::RegisterWaitForSingleObject(pipeWait_.put(), pipeEvent_.get(), OnPipeEvent, this,
                                         INFINITE, kPipeWaitFlags) != FALSE;
}

// The wait thread only ever marks states; every kernel object of the pipe is closed here,
// once no callback of the wait or the watchdog can run any more.
CrashPipeServer::~CrashPipeServer()
{
    shuttingDown_ = true;
    pipeWait_.reset();        // waits for a running OnPipeEvent; none comes after it
    handshakeTimer_.reset();  // waits for a running check, which uses the pipe handle
    state_ = PipeServerState::Stopped;
    if (pipeHandle_) {
        // An I/O still in flight writes into overlapped_ when it ends: let it end first.
        ::CancelIoEx(pipeHandle_.get(), &overlapped_);
        DWORD unused = 0;
        ::GetOverlappedResult(pipeHandle_.get(), &overlapped_, &unused, TRUE);
        ::DisconnectNamedPipe(pipeHandle_.get());
        pipeHandle_.reset();
    }
    ReleaseCurrentClient();

    StopWatchingClients();
    WaitForExitWork();
    DestroyClients();

    if (serverAliveMutex_) {
        ::ReleaseMutex(serverAliveMutex_.get());
        serverAliveMutex_.reset();
    }
    pipeEvent_.reset();
}

// ---- The handshake state machine, run on the pipe wait's thread ----

VOID CALLBACK CrashPipeServer::OnPipeEvent(PVOID context, BOOLEAN)
{
    static_cast<CrashPipeServer*>(context)->Dispatch();
}

// The handshake watchdog, on a timer thread. It is armed only while a handshake step waits
// for the connected client, and every change of state disarms it (waiting for a running
// check), so when it fires it belongs to the step still waiting. Cancelling the pending I/O
// completes it with an error, so the state machine itself disconnects the client.
VOID CALLBACK CrashPipeServer::OnHandshakeCheck(PVOID context, BOOLEAN)
{
    auto* server = static_cast<CrashPipeServer*>(context);
    if (IsClientStep(server->state_.load())) {
        ::CancelIoEx(server->pipeHandle_.get(), &server->overlapped_);
    }
}

// On the wait thread. An idle server has no timer at all, so it never wakes up.
void CrashPipeServer::ArmWatchdog()
{
    if (!::CreateTimerQueueTimer(handshakeTimer_.put(), nullptr, OnHandshakeCheck, this,
                                 kHandshakeStepTimeoutMs, kOneShotTimer, kHandshakeTimerFlags)) {
        // A step that cannot be bounded is not waited for: the client is cut off now.
        ::CancelIoEx(pipeHandle_.get(), &overlapped_);
    }
}

void CrashPipeServer::Dispatch()
{
    if (shuttingDown_.load()) {
        state_ = PipeServerState::Stopped;
        ::ResetEvent(pipeEvent_.get());  // ends the repeated callbacks
        return;
    }
    const PipeServerState before = state_.load();
    switch (before) {
        case PipeServerState::Stopped:
            HandleStopped();
            break;
        case PipeServerState::Listen:
            HandleListen();
            break;
        case PipeServerState::ConnectPending:
            HandleConnectPending();
            break;
        case PipeServerState::ReadRegistration:
            HandleReadRegistration();
            break;
        case PipeServerState::RegistrationPending:
            HandleRegistrationPending();
            break;
        case PipeServerState::ProcessRegistration:
            HandleProcessRegistration();
            break;
        case PipeServerState::ReplyPending:
            HandleReplyPending();
            break;
        case PipeServerState::ReadAcknowledgement:
            HandleReadAcknowledgement();
            break;
        case PipeServerState::AcknowledgementPending:
            HandleAcknowledgementPending();
            break;
        case PipeServerState::Disconnect:
            HandleDisconnect();
            break;
        default:
            state_ = PipeServerState::Stopped;
            break;
    }
    const PipeServerState after = state_.load();
    if (after != before) {
        handshakeTimer_.reset();
        if (IsClientStep(after)) {
            ArmWatchdog();
        }
    }
}

// Stores the next state, then sets the event so that its handler runs at once.
void CrashPipeServer::SetStateAndSignal(PipeServerState next)
{
    state_ = next;
    if (!::SetEvent(pipeEvent_.get())) {
        state_ = PipeServerState::Stopped;
    }
}

// Nothing is closed here: the destructor owns the pipe, its wait and its event. Stopped only
// quietens the wait.
void CrashPipeServer::HandleStopped()
{
    ::ResetEvent(pipeEvent_.get());
}

void CrashPipeServer::HandleListen()
{
    if (!::ResetEvent(pipeEvent_.get())) {
        SetStateAndSignal(PipeServerState::Stopped);
        return;
    }
    if (failedConnects_ > 1) {
        ::Sleep(kRelistenPauseMs);
    }
    if (::ConnectNamedPipe(pipeHandle_.get(), &overlapped_)) {
        failedConnects_ = 0;
        SetStateAndSignal(PipeServerState::ReadRegistration);
        return;
    }
    switch (::GetLastError()) {
        case ERROR_IO_PENDING:
            state_ = PipeServerState::ConnectPending;  // the connect's completion signals
            break;
        case ERROR_PIPE_CONNECTED:
            failedConnects_ = 0;
            SetStateAndSignal(PipeServerState::ReadRegistration);
            break;
        default:
            // ERROR_NO_DATA: a client connected and closed before we listened. Whatever the
            // cause, the pipe is reset and listens again; only the shutdown stops it.
            ++failedConnects_;
            SetStateAndSignal(PipeServerState::Disconnect);
            break;
    }
}

void CrashPipeServer::HandleConnectPending()
{
    DWORD unused = 0;
    if (::GetOverlappedResult(pipeHandle_.get(), &overlapped_, &unused, FALSE)) {
        failedConnects_ = 0;
        SetStateAndSignal(PipeServerState::ReadRegistration);
    } else if (::GetLastError() != ERROR_IO_INCOMPLETE) {
        ++failedConnects_;
        SetStateAndSignal(PipeServerState::Disconnect);
    }
}

void CrashPipeServer::HandleReadRegistration()
{
    messageBuffer_ = PipeMessage{};
    // The read's completion sets the event, also when it completes at once.
    if (::ReadFile(pipeHandle_.get(), &messageBuffer_, sizeof(messageBuffer_), nullptr,
                   &overlapped_) ||
        ::GetLastError() == ERROR_IO_PENDING) {
        state_ = PipeServerState::RegistrationPending;
    } else {
        // ERROR_MORE_DATA for a longer message
        if (::GetLastError() == ERROR_MORE_DATA) {
            ReportOtherWidthRegistration(kPipeMessageSize);
        }
        SetStateAndSignal(PipeServerState::Disconnect);
    }
}

void CrashPipeServer::HandleRegistrationPending()
{
    DWORD read = 0;
    const bool done = ::GetOverlappedResult(pipeHandle_.get(), &overlapped_, &read, FALSE);
    if (done ? read != kPipeMessageSize : ::GetLastError() == ERROR_MORE_DATA) {
        ReportOtherWidthRegistration(read);
    }
    SetStateAndSignal(done && read == kPipeMessageSize ? PipeServerState::ProcessRegistration
                                                       : PipeServerState::Disconnect);
}

// A client of the other width sends a message of the other size; it is refused like any
// message of a wrong size, and the debug line says why, for the developer who shipped it.
void CrashPipeServer::ReportOtherWidthRegistration(DWORD readSoFar) const
{
    DWORD left = 0;
    if (!::PeekNamedPipe(pipeHandle_.get(), nullptr, 0, nullptr, nullptr, &left)) {
        left = 0;
    }
    const std::wstring text = OtherWidthRegistrationText(std::size_t(readSoFar) + left);
    if (!text.empty()) {
        ::OutputDebugStringW(text.c_str());
    }
}

// A registration names the process to be opened, dumped and handed our handles: it must be
// the process on the other end of the pipe, or any local process could have another one
// dumped and uploaded.
bool CrashPipeServer::IsRegistrationFromPipeClient() const
{
    ULONG clientProcessId = 0;
    return ::GetNamedPipeClientProcessId(pipeHandle_.get(), &clientProcessId) &&
           clientProcessId == messageBuffer_.processId;
}

void CrashPipeServer::HandleProcessRegistration()
{
    if (!IsValidRegistration(messageBuffer_, kPipeMessageSize) || !IsRegistrationFromPipeClient()) {
        SetStateAndSignal(PipeServerState::Disconnect);
        return;
    }
    // The new record carries the list's reference; the handshake takes its own before any
    // wait can reach the record, so a client that dies at once cannot free it under us.
    ClientRecord* record = new ClientRecord(this, messageBuffer_, CurrentSystemTime());
    record->AddReference();
    currentClient_ = record;
    if (RegisterClient(record)) {
        state_ = PipeServerState::ReplyPending;  // the reply write's completion signals
        return;
    }
    SetStateAndSignal(PipeServerState::Disconnect);  // drops the handshake's reference
    DiscardRefusedRecord(record);
}

void CrashPipeServer::HandleReplyPending()
{
    DWORD unused = 0;
    SetStateAndSignal(::GetOverlappedResult(pipeHandle_.get(), &overlapped_, &unused, FALSE)
                          ? PipeServerState::ReadAcknowledgement
                          : PipeServerState::Disconnect);
}

void CrashPipeServer::HandleReadAcknowledgement()
{
    if (::ReadFile(pipeHandle_.get(), &messageBuffer_, sizeof(messageBuffer_), nullptr,
                   &overlapped_)) {
        SetStateAndSignal(PipeServerState::AcknowledgementPending);
    } else if (::GetLastError() == ERROR_IO_PENDING) {
        state_ = PipeServerState::AcknowledgementPending;
    } else {
        SetStateAndSignal(PipeServerState::Disconnect);
    }
}

void CrashPipeServer::HandleAcknowledgementPending()
{
    DWORD unused = 0;
    if (::GetOverlappedResult(pipeHandle_.get(), &overlapped_, &unused, FALSE) &&
        connectedCallback_) {
        connectedCallback_(connectedContext_, currentClient_);
    }
    SetStateAndSignal(PipeServerState::Disconnect);
}

void CrashPipeServer::HandleDisconnect()
{
    ReleaseCurrentClient();
    HANDLE event = overlapped_.hEvent;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event;
    if (!::ResetEvent(pipeEvent_.get()) || !::DisconnectNamedPipe(pipeHandle_.get())) {
        SetStateAndSignal(PipeServerState::Stopped);
        return;
    }
    if (!shuttingDown_.load()) {
        SetStateAndSignal(PipeServerState::Listen);
    }
}

void CrashPipeServer::ReleaseCurrentClient()
{
    if (ClientRecord* record = currentClient_) {
        currentClient_ = nullptr;
        record->Release();
    }
}

// ---- Registration, run inside the handshake ----

bool CrashPipeServer::RegisterClient(ClientRecord* record)
{
    record->processHandle.reset(::OpenProcess(kClientProcessAccess, FALSE, record->processId));
    if (!record->processHandle) {
        return false;
    }
    record->dumpRequestEvent = CreateManualResetEvent();
    if (!record->dumpRequestEvent) {
        return false;
    }
    record->dumpDoneEvent = CreateManualResetEvent();
    if (!record->dumpDoneEvent || !record->CreateWaitCompletionEvents()) {
        return false;
    }
    replyBuffer_ = MakeRegisterReply(::GetCurrentProcessId(), 0, 0, 0);
    HANDLE client = record->processHandle.get();
    auto takeBack = [&] {
        CloseInClient(client, replyBuffer_.dumpRequestEvent);
        CloseInClient(client, replyBuffer_.dumpDoneEvent);
        CloseInClient(client, replyBuffer_.serverAliveMutex);
    };
    if (!DuplicateIntoClient(client, record->dumpRequestEvent.get(), kClientDumpRequestAccess,
                             replyBuffer_.dumpRequestEvent) ||
        !DuplicateIntoClient(client, record->dumpDoneEvent.get(), kClientDumpDoneAccess,
                             replyBuffer_.dumpDoneEvent) ||
        !DuplicateIntoClient(client, serverAliveMutex_.get(), kClientServerAliveAccess,
                             replyBuffer_.serverAliveMutex)) {
        takeBack();
        return false;
    }
    if (!::WriteFile(pipeHandle_.get(), &replyBuffer_, sizeof(replyBuffer_), nullptr,
                     &overlapped_) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        takeBack();
        return false;
    }
    if (!AddClient(record)) {
        takeBack();
        return false;
    }
    return true;
}

// The record is in the list before its exit wait exists, so exit work always finds it there;
// a failure undoes in the reverse order.
bool CrashPipeServer::AddClient(ClientRecord* record)
{
    if (!::RegisterWaitForSingleObject(record->dumpRequestWait.put(),
                                       record->dumpRequestEvent.get(), OnDumpRequest, record,
                                       INFINITE, kDumpRequestWaitFlags)) {
        return false;
    }
    {
        win32::CriticalSectionLock lock(clientsLock_);
        clients_.push_back(record);
    }
    if (!::RegisterWaitForSingleObject(record->processExitWait.put(), record->processHandle.get(),
                                       OnClientProcessExit, record, INFINITE,
                                       kProcessExitWaitFlags)) {
        win32::CriticalSectionLock lock(clientsLock_);
        clients_.remove(record);
        return false;
    }
    return true;
}

// A refused record may already have a registered dump wait, whose cancellation must wait for
// its callback; that cannot happen on the pipe wait's thread, so it is done as exit work.
void CrashPipeServer::DiscardRefusedRecord(ClientRecord* record)
{
    if (record == nullptr) {
        return;
    }
    if (!record->dumpRequestWait && !record->processExitWait) {
        record->Destroy();
        return;
    }
    if (!QueueExitWork(DestroyRecordWork, record)) {
        // We cannot wait here: the record is left rather than freed early, and the shutdown
        // waits for its exit callback as for any other.
        exitWaitsDone_.push_back(record->CancelWaits());
    }
}

// ---- Registered clients ----

VOID CALLBACK CrashPipeServer::OnDumpRequest(PVOID context, BOOLEAN)
{
    auto* record = static_cast<ClientRecord*>(context);
    record->ReadAnnotations();
    record->server->HandleDumpRequest(record);
}

void CrashPipeServer::HandleDumpRequest(ClientRecord* record)
{
    HANDLE process = record->processHandle.get();
    ClientWord exceptionPointers = 0;
    std::uint32_t threadId = 0;
    std::wstring dumpPath;
    const std::vector<std::uint8_t> annotationStream =
        EncodeAnnotationStream(record->annotations.get(), record->annotationSlots);
    if (!ReadClientValue(process, record->exceptionPointersAddress, exceptionPointers) ||
        !ReadClientValue(process, record->threadIdAddress, threadId) ||
        !dumpWriter_.WriteDump(process, record->processId, threadId, exceptionPointers,
                               record->clientBlockAddress, record->dumpType, &dumpPath,
                               &annotationStream)) {
        ::ResetEvent(record->dumpRequestEvent.get());  // the request is dropped
        return;
    }
    if (dumpRequestedCallback_) {
        dumpRequestedCallback_(dumpRequestedContext_, record, &dumpPath);
    }
    // The request is reset before the client is released: a client that asks again as soon
    // as it sees dump-done must not have its new request wiped out.
    ::ResetEvent(record->dumpRequestEvent.get());
    ::SetEvent(record->dumpDoneEvent.get());
}

VOID CALLBACK CrashPipeServer::OnClientProcessExit(PVOID context, BOOLEAN)
{
    auto* record = static_cast<ClientRecord*>(context);
    record->server->QueueExitWork(RemoveClientWork, record);
}

bool CrashPipeServer::QueueExitWork(LPTHREAD_START_ROUTINE work, ClientRecord* record)
{
    ::InterlockedIncrement(&pendingExitWork_);
    if (!::QueueUserWorkItem(work, record, WT_EXECUTEDEFAULT)) {
        ::InterlockedDecrement(&pendingExitWork_);
        return false;
    }
    return true;
}

DWORD WINAPI CrashPipeServer::RemoveClientWork(PVOID context)
{
    auto* record = static_cast<ClientRecord*>(context);
    CrashPipeServer* server = record->server;
    if (server->exitedCallback_) {
        server->exitedCallback_(server->exitedContext_, record);
    }
    {
        win32::CriticalSectionLock lock(server->clientsLock_);
        server->clients_.remove(record);
    }
    record->Destroy();  // waits for a dump request of this client still being handled
    ::InterlockedDecrement(&server->pendingExitWork_);
    return 0;
}

DWORD WINAPI CrashPipeServer::DestroyRecordWork(PVOID context)
{
    auto* record = static_cast<ClientRecord*>(context);
    CrashPipeServer* server = record->server;
    record->Destroy();
    ::InterlockedDecrement(&server->pendingExitWork_);
    return 0;
}

// ---- Shutdown of the registered clients ----

void CrashPipeServer::StopWatchingClients()
{
    win32::CriticalSectionLock lock(clientsLock_);
    for (ClientRecord* record : clients_) {
        exitWaitsDone_.push_back(record->CancelWaits());
    }
}

void CrashPipeServer::WaitForExitWork()
{
    // An exit callback that was already running may still queue its work: let it finish, so
    // that the count below covers all exit work there will be.
    for (const auto& done : exitWaitsDone_) {
        if (done) {
            ::WaitForSingleObject(done.get(), INFINITE);
        }
    }
    exitWaitsDone_.clear();
    DWORD waited = 0;
    while (::InterlockedCompareExchange(&pendingExitWork_, 0, 0) > 0 && waited < kExitWorkBoundMs) {
        ::Sleep(kExitWorkPollIntervalMs);
        waited += kExitWorkPollIntervalMs;
    }
    // Exit work still pending after the bound is blocked on a dump of its client that is still
    // being handled, and it uses this server: freeing the server under it would crash the
    // process. Wait for it as the records below are waited for.
    while (::InterlockedCompareExchange(&pendingExitWork_, 0, 0) > 0) {
        ::Sleep(kExitWorkPollIntervalMs);
    }
}

void CrashPipeServer::DestroyClients()
{
    std::list<ClientRecord*> records;
    {
        win32::CriticalSectionLock lock(clientsLock_);
        records.swap(clients_);
    }
    for (ClientRecord* record : records) {
        record->EndDumpWait();  // waits for its dump request still being handled
        // A request the pool has not taken up (its wait thread was busy with another client's
        // report, or it came after the shutdown stopped watching this client) is still
        // served: the client has crashed and waits for it, and dropping it would lose its
        // report.
        if (record->HasUnservedDumpRequest()) {
            OnDumpRequest(record, FALSE);
        }
        record->Destroy();
    }
}
