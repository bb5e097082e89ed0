#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Win32/UniqueHandle.h"

class ClientRecord;
class CrashPipeServer;

// Waits on the window event: long enough for a client to create and show its window.
constexpr DWORD kWindowEventWaitMs = 30000;
constexpr DWORD kWindowEventAccess = SYNCHRONIZE;      // 0x00100000
constexpr DWORD kSpawnEventAccess = EVENT_ALL_ACCESS;  // 0x001F0003

// One reporting run: the command-line values, the client's window handle (read on the
// HWNDThread), the crash pipe server and the pipeline that turns each written dump into an
// uploaded report. Constructed, started, stopped and destroyed on one thread, the one that
// owns the server's server-alive mutex.
class CrashReporter {
public:
    // Copies everything and launches the HWNDThread.
    CrashReporter(const std::wstring& serverName, const std::wstring& collectorHost,
                  const std::wstring& dumpDirectory, const std::wstring& callerPid,
                  const std::wstring& readHandleText, const std::wstring& windowEventName,
                  const std::vector<std::wstring>& extraFiles);
    ~CrashReporter();

    CrashReporter(const CrashReporter&) = delete;
    CrashReporter& operator=(const CrashReporter&) = delete;

    // Starts the pipe server and signals the client's spawn event. terminationEvent is not
    // owned; it is signalled when a client exits.
    bool Start(HANDLE terminationEvent);

    // Joins the HWNDThread, then shuts the pipe server down. Also after a failed Start.
    void Stop();

    // Read as an interlocked compare-exchange of 0 against 0.
    bool IsClientConnected();

private:
    static void OnClientConnected(void* context, ClientRecord* client);
    static void OnDumpRequested(void* context, ClientRecord* client, const std::wstring* dumpPath);
    static void OnClientExited(void* context, ClientRecord* client);

    bool SignalSpawnEvent();
    void ReadClientWindow();
    void ProcessCrashReport(const std::wstring& dumpPath);

    HANDLE terminationEvent;
    win32::UniqueHandle readHandle;   // inherited from the client; closed by the HWNDThread
    win32::UniqueHandle windowEvent;  // opened and closed by the HWNDThread
    const std::wstring windowEventName;
    std::atomic<HWND> clientWindow;  // stored once by the HWNDThread
    const std::wstring serverName;
    const std::wstring dumpDirectory;
    const std::wstring collectorHost;
    const std::wstring callerPid;
    const std::vector<std::wstring> extraFiles;
    std::unique_ptr<CrashPipeServer> pipeServer;
    std::thread hwndThread;
    volatile LONG clientConnected;
};

// The debugger output lines of the reporter process.
namespace reporter_messages {
constexpr wchar_t kUsage[] =
    L"Cannot start the CrashReporter\nUsage: RIZurarUzedudor.exe <server-name> <collector-host> "
    L"<dump directory> <caller pid> <read handle> <process id for window handler><optional "
    L"filelist ...>\n";
constexpr wchar_t kCannotStart[] = L"Cannot start the CrashReporter\n";
constexpr wchar_t kStarting[] = L"Starting CrashReporter\n";
constexpr wchar_t kNoClient[] = L"No client connection\n";
constexpr wchar_t kThreadInitFailed[] = L"HWNDThread initialization failed\n";
constexpr wchar_t kThreadTermFailed[] = L"HWNDThread termination failed\n";
constexpr wchar_t kTwoClients[] = L"Two or more clients are connected\n";
constexpr wchar_t kClientDisconnected[] = L"Client disconnected\n";
}  // namespace reporter_messages
