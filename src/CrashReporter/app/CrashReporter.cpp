#include "CrashReporter/app/CrashReporter.h"

#include <cstdint>
#include <new>
#include <system_error>

#include "CrashReporter/app/ReportPaths.h"
#include "CrashProtocol/ReporterNames.h"
#include "CrashReporter/app/StartupArguments.h"
#include "CrashReporter/diag/DiagnosticScan.h"
#include "CrashReporter/package/ReportArchive.h"
#include "CrashReporter/package/WindowCapture.h"
#include "CrashReporter/pipe/CrashPipeServer.h"
#include "CrashReporter/upload/HttpUploader.h"

namespace {

// How often a window handle not yet written is looked for; only while a client has signalled
// the window event without writing it, and never beyond the window thread's budget.
constexpr DWORD kWindowHandlePollMs = 20;

// A read-handle value is only used when it names a pipe this process holds at start: reading
// from or closing a number we never received could hit one of our own handles.
HANDLE AcceptInheritedPipe(ClientWord handleValue)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(handleValue);
    DWORD flags = 0;
    if (handleValue == 0 || handle == INVALID_HANDLE_VALUE ||
        !::GetHandleInformation(handle, &flags) || ::GetFileType(handle) != FILE_TYPE_PIPE) {
        return nullptr;
    }
    return handle;
}

// A client may signal the window event and never write, while a write end stays open: a
// blocking read would then hold Stop, and the crashed client, for ever. The read waits until
// the handle's bytes (as wide as a pointer) are there, the writers are gone, or the thread's
// budget is spent.
bool ReadWindowHandle(HANDLE pipe, ULONGLONG deadline, ClientWord& value)
{
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return false;  // every write end is closed and nothing is left
        }
        if (available >= sizeof(value)) {
            DWORD read = 0;
            return ::ReadFile(pipe, &value, sizeof(value), &read, nullptr) && read == sizeof(value);
        }
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(kWindowHandlePollMs);
    }
}

}  // namespace

CrashReporter::CrashReporter(const std::wstring& serverName, const std::wstring& collectorHost,
                             const std::wstring& dumpDirectory, const std::wstring& callerPid,
                             const std::wstring& readHandleText,
                             const std::wstring& windowEventName,
                             const std::vector<std::wstring>& extraFiles)
    : terminationEvent(INVALID_HANDLE_VALUE),
      readHandle(AcceptInheritedPipe(ParseReadHandle(readHandleText))),
      windowEventName(windowEventName),
      clientWindow(nullptr),
      serverName(serverName),
      dumpDirectory(dumpDirectory),
      collectorHost(collectorHost),
      callerPid(callerPid),
      extraFiles(extraFiles),
      clientConnected(0)
{
    try {
        hwndThread = std::thread(&CrashReporter::ReadClientWindow, this);
    } catch (const std::system_error&) {
        // Without the thread there is no window handle, so no screenshot.
        ::OutputDebugStringW(reporter_messages::kThreadInitFailed);
    }
}

CrashReporter::~CrashReporter() = default;

bool CrashReporter::Start(HANDLE event)
{
    ::InterlockedExchange(&clientConnected, 0);
    terminationEvent = event;
    pipeServer.reset(new (std::nothrow) CrashPipeServer(
        MakeCrashPipeName(serverName, callerPid), &CrashReporter::OnClientConnected, this,
        &CrashReporter::OnDumpRequested, this, &CrashReporter::OnClientExited, this,
        &dumpDirectory));
    if (!pipeServer || !pipeServer->Start()) {
        return false;  // a created server stays until Stop
    }
    return SignalSpawnEvent();
}

bool CrashReporter::SignalSpawnEvent()
{
    // The client creates this event; we only ever open it.
    win32::UniqueHandle spawnEvent(
        ::OpenEventW(kSpawnEventAccess, FALSE, MakeSpawnEventName(serverName).c_str()));
    if (!spawnEvent || !::SetEvent(spawnEvent.get())) {
        return false;
    }
    // clientConnected is not cleared here: the pipe has been listening since before the
    // signal, and a client that registered meanwhile must keep the process alive.
    return true;
}

void CrashReporter::Stop()
{
    if (hwndThread.joinable()) {
        try {
            hwndThread.join();
        } catch (const std::system_error&) {
            ::OutputDebugStringW(reporter_messages::kThreadTermFailed);
            try {
                hwndThread.detach();  // a joinable thread object would end the process
            } catch (const std::system_error&) {
            }
        }
    }
    pipeServer.reset();  // its destruction is its shutdown
}

bool CrashReporter::IsClientConnected()
{
    return ::InterlockedCompareExchange(&clientConnected, 0, 0) == 1;
}

void CrashReporter::ReadClientWindow()
{
    const ULONGLONG deadline = ::GetTickCount64() + kWindowEventWaitMs;
    windowEvent.reset(::OpenEventW(kWindowEventAccess, FALSE, windowEventName.c_str()));
    // A failed open gives a null handle, whose wait fails: nothing is read then.
    if (::WaitForSingleObject(windowEvent.get(), kWindowEventWaitMs) == WAIT_OBJECT_0 &&
        readHandle) {
        ClientWord value = 0;
        if (!ReadWindowHandle(readHandle.get(), deadline, value)) {
            value = 0;  // a short or late read is no handle
        }
        clientWindow.store(reinterpret_cast<HWND>(value));
    }
    readHandle.reset();
    windowEvent.reset();
}

void CrashReporter::OnClientConnected(void* context, ClientRecord* client)
{
    if (client == nullptr) {
        return;
    }
    auto* self = static_cast<CrashReporter*>(context);
    if (::InterlockedCompareExchange(&self->clientConnected, 1, 0) != 0) {
        // The extra client is served all the same.
        ::OutputDebugStringW(reporter_messages::kTwoClients);
    }
}

void CrashReporter::OnDumpRequested(void* context, ClientRecord* client,
                                    const std::wstring* dumpPath)
{
    if (client == nullptr || dumpPath == nullptr) {
        return;
    }
    static_cast<CrashReporter*>(context)->ProcessCrashReport(*dumpPath);
}

void CrashReporter::OnClientExited(void* context, ClientRecord* client)
{
    if (client == nullptr) {
        return;
    }
    auto* self = static_cast<CrashReporter*>(context);
    ::InterlockedExchange(&self->clientConnected, 0);
    ::OutputDebugStringW(reporter_messages::kClientDisconnected);
    ::SetEvent(self->terminationEvent);
}

void CrashReporter::ProcessCrashReport(const std::wstring& dumpPath)
{
    const std::wstring basePath = ReportBasePath(dumpPath);
    const std::wstring bitmapPath = ReportBitmapPath(basePath);
    // One reading for the whole report, so the capture and the archive agree.
    const HWND window = clientWindow.load();

    if (window != nullptr) {
        WindowCapture capture;
        capture.CaptureToFile(basePath, window);
    }

    const std::wstring fullDumpPath = ReportFullDumpPath(basePath);
    const bool hasFullDump = ::GetFileAttributesW(fullDumpPath.c_str()) != INVALID_FILE_ATTRIBUTES;

    std::wstring archivePath;
    const bool archived =
        ReportArchive(dumpDirectory, window, extraFiles)
            .Build(hasFullDump ? fullDumpPath : dumpPath, archivePath, bitmapPath);
    if (archived) {
        // The loose files are inside the archive now (the normal dump is dropped unsent
        // when the full dump went in instead). A missing bitmap fails silently.
        if (hasFullDump) {
            ::DeleteFileW(fullDumpPath.c_str());
        }
        ::DeleteFileW(dumpPath.c_str());
        ::DeleteFileW(bitmapPath.c_str());
    }

    const UploadParameters fields{{kUploadNameField, serverName}};
    HttpUploader::UploadFile(ReportUploadUrl(collectorHost), fields,
                             archived ? archivePath : dumpPath, kUploadFilePart);

    // Serialised process-wide: the library must only ever see one thread.
    RunDiagnosticScan();
}
