#include "CrashClient/CrashClient.h"

namespace {

ClientWord AddressOf(const volatile void* p)
{
    return reinterpret_cast<ClientWord>(p);
}

constexpr DWORD kPipeRetryIntervalMs = 10;

win32::UniqueHandle OpenCrashPipe(const std::wstring& pipeName, DWORD timeoutMs, DWORD flags)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        win32::UniqueHandle pipe(::CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, flags, nullptr));
        if (pipe) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
                return {};
            }
            return pipe;
        }
        const DWORD error = ::GetLastError();
        if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) ||
            ::GetTickCount64() >= deadline) {
            return {};
        }
        // The single instance is between clients, or the server is not listening yet.
        if (error == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(pipeName.c_str(), kPipeRetryIntervalMs);
        } else {
            ::Sleep(kPipeRetryIntervalMs);
        }
    }
}

// One read or write on an overlapped pipe handle, given up at the deadline: a reporter that
// accepts the connection and then never answers must not hang the application.
bool TransferBefore(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD& done,
                    ULONGLONG deadline)
{
    win32::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const BOOL finished = write ? ::WriteFile(pipe, buffer, size, nullptr, &overlapped)
                                : ::ReadFile(pipe, buffer, size, nullptr, &overlapped);
    if (!finished && ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (::WaitForSingleObject(event.get(), left) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &overlapped);
    }
    // Waits for the cancelled operation too, so the record and the buffer are free after it.
    return ::GetOverlappedResult(pipe, &overlapped, &done, TRUE) != FALSE;
}

}  // namespace

const char* DumpWaitText(CrashClient::DumpWait result)
{
    switch (result) {
        case CrashClient::DumpWait::Done:
            return "Done";
        case CrashClient::DumpWait::ReporterGone:
            return "ReporterGone";
        case CrashClient::DumpWait::TimedOut:
            return "TimedOut";
        default:
            return "Failed";
    }
}

win32::UniqueHandle ConnectToCrashPipe(const std::wstring& pipeName, DWORD timeoutMs)
{
    return OpenCrashPipe(pipeName, timeoutMs, 0);
}

CrashClient::CrashClient(std::size_t annotationCapacity) : annotations_(annotationCapacity) {}

PipeMessage CrashClient::MakeRegistration(std::uint32_t dumpType) const
{
    PipeMessage m{};
    m.messageType = static_cast<std::uint32_t>(PipeMessageType::Register);
    m.processId = ::GetCurrentProcessId();
    m.dumpType = dumpType;
    m.threadIdAddress = AddressOf(&threadId_);
    m.exceptionPointersAddress = AddressOf(&exceptionPointers_);
    m.clientBlockAddress = AddressOf(clientBlock_);
    m.annotationsAddress = annotations_.Address();
    m.annotationCount = annotations_.Capacity();
    return m;
}

bool CrashClient::Register(const std::wstring& pipeName, std::uint32_t dumpType, DWORD timeoutMs)
{
    return Register(pipeName, MakeRegistration(dumpType), timeoutMs);
}

bool CrashClient::Register(const std::wstring& pipeName, const PipeMessage& registration,
                           DWORD timeoutMs)
{
    win32::UniqueHandle pipe = OpenCrashPipe(pipeName, timeoutMs, FILE_FLAG_OVERLAPPED);
    if (!pipe) {
        return false;
    }
    // The exchange gets its own time once connected; a working reporter needs milliseconds.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    PipeMessage message = registration;
    DWORD written = 0;
    if (!TransferBefore(pipe.get(), true, &message, sizeof(message), written, deadline) ||
        written != sizeof(message)) {
        return false;
    }
    PipeMessage reply{};
    DWORD read = 0;
    if (!TransferBefore(pipe.get(), false, &reply, sizeof(reply), read, deadline) ||
        read != sizeof(reply) ||
        reply.messageType != static_cast<std::uint32_t>(PipeMessageType::RegisterReply)) {
        return false;
    }
    auto handle = [](ClientWord value) { return reinterpret_cast<HANDLE>(value); };
    // The handles are ours from here on, whatever happens to the acknowledgement.
    dumpRequestEvent_.reset(handle(reply.dumpRequestEvent));
    dumpDoneEvent_.reset(handle(reply.dumpDoneEvent));
    serverAliveMutex_.reset(handle(reply.serverAliveMutex));
    serverProcessId_ = reply.processId;
    PipeMessage acknowledgement = registration;
    return TransferBefore(pipe.get(), true, &acknowledgement, sizeof(acknowledgement), written,
                          deadline) &&
           written == sizeof(acknowledgement);
}

CrashClient::DumpWait CrashClient::RequestDump(DWORD threadId, EXCEPTION_POINTERS* exception,
                                               DWORD timeoutMs)
{
    if (!IsRegistered()) {
        return DumpWait::Failed;
    }
    threadId_ = threadId;
    exceptionPointers_ = AddressOf(exception);
    if (!::ResetEvent(dumpDoneEvent_.get()) || !::SetEvent(dumpRequestEvent_.get())) {
        return DumpWait::Failed;
    }
    const HANDLE waits[] = {dumpDoneEvent_.get(), serverAliveMutex_.get()};
    const DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    switch (result) {
        case WAIT_OBJECT_0:
            return DumpWait::Done;
        case WAIT_OBJECT_0 + 1:
        case WAIT_ABANDONED_0 + 1:
            ::ReleaseMutex(serverAliveMutex_.get());  // we only looked; the reporter is gone
            return DumpWait::ReporterGone;
        case WAIT_TIMEOUT:
            return DumpWait::TimedOut;
        default:
            return DumpWait::Failed;
    }
}

bool CrashClient::IsReporterAlive() const
{
    if (!serverAliveMutex_) {
        return false;
    }
    const DWORD result = ::WaitForSingleObject(serverAliveMutex_.get(), 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        ::ReleaseMutex(serverAliveMutex_.get());
        return false;
    }
    return result == WAIT_TIMEOUT;
}
