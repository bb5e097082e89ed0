// The time crash reporting adds to an application's start. The driver starts this program
// again as an application, alternately with and without CrashReporting::Install, and times
// each from CreateProcess to the moment the application says it is ready (right after
// Install, or at once). The application's exit code carries how long its Install call took
// in microseconds. Prints one "sample" line per start:
//   sample <with|without> <start microseconds> <install microseconds>
//
//   StartupBench.exe <starts> <collector-host> <dump directory>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

#include "CrashClient/CrashReporting.h"
#include "support/Stopwatch.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr DWORD kReadyTimeoutMs = 30000;
constexpr DWORD kRegistrationWaitMs = 30000;
constexpr DWORD kReporterGoneTimeoutMs = 20000;
constexpr DWORD kPollMs = 20;
constexpr DWORD kFailedExitCode = 0xFFFFFFFF;

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// The application: installs (or not), says it is ready, and ends once registered, so that
// its reporter ends too.
int RunApplication(bool install, const wchar_t* readyEvent, const wchar_t* host,
                   const wchar_t* dumps, const wchar_t* server)
{
    win32::UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent));
    DWORD installMicroseconds = 0;
    if (install) {
        CrashReporting::Options options;
        options.reporterPath = CrashReporting::PathBesideProgram(kReporterFileName);
        options.serverName = server;
        options.collectorHost = host;
        options.dumpDirectory = dumps;
        Stopwatch installing;
        const bool installed = CrashReporting::Install(options).Installed();
        installMicroseconds = static_cast<DWORD>(installing.Seconds() * 1e6);
        if (!installed) {
            return static_cast<int>(kFailedExitCode);
        }
        CrashReporting::SetWindow(nullptr);
    }
    ::SetEvent(ready.get());
    if (install && CrashReporting::WaitForRegistration(kRegistrationWaitMs) !=
                       CrashReporting::Registration::Registered) {
        return static_cast<int>(kFailedExitCode);
    }
    return static_cast<int>(installMicroseconds);
}

bool ReporterRunning()
{
    win32::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, kReporterFileName) == 0) {
            return true;
        }
    }
    return false;
}

// One start; false when the application failed or never said it was ready.
bool TimeStart(bool install, int run, const std::wstring& host, const std::wstring& dumps,
               double& startSeconds, DWORD& installMicroseconds)
{
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(run);
    const std::wstring eventName = L"StartupBenchReady" + tag;
    win32::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    std::wstring commandLine = L"\"" + OwnPath() + L"\" application " +
                               (install ? L"with " : L"without ") + eventName + L" \"" + host +
                               L"\" \"" + dumps + L"\" Startup" + tag;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    Stopwatch starting;
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return false;
    }
    win32::UniqueHandle process(info.hProcess);
    win32::UniqueHandle thread(info.hThread);
    const HANDLE waits[] = {ready.get(), process.get()};
    const bool isReady =
        ::WaitForMultipleObjects(2, waits, FALSE, kReadyTimeoutMs) == WAIT_OBJECT_0;
    startSeconds = starting.Seconds();
    ::WaitForSingleObject(process.get(), INFINITE);
    ::GetExitCodeProcess(process.get(), &installMicroseconds);
    // The next start must not share the machine with this one's reporter.
    const ULONGLONG deadline = ::GetTickCount64() + kReporterGoneTimeoutMs;
    while (ReporterRunning() && ::GetTickCount64() < deadline) {
        ::Sleep(kPollMs);
    }
    return isReady && installMicroseconds != kFailedExitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 7 && std::wstring(argv[1]) == L"application") {
        return RunApplication(std::wstring(argv[2]) == L"with", argv[3], argv[4], argv[5], argv[6]);
    }
    if (argc != 4) {
        std::fputs("usage: StartupBench.exe <starts> <collector-host> <dump directory>\n", stderr);
        return 2;
    }
    const int starts = _wtoi(argv[1]);
    for (int run = 0; run < starts; ++run) {
        // Interleaved, so that drift of the machine touches both alike.
        for (bool install : {false, true}) {
            double seconds = 0;
            DWORD installMicroseconds = 0;
            if (!TimeStart(install, run, argv[2], argv[3], seconds, installMicroseconds)) {
                std::printf("failed %s %d\n", install ? "with" : "without", run);
                return 1;
            }
            std::printf("sample %s %.0f %lu\n", install ? "with" : "without", seconds * 1e6,
                        static_cast<unsigned long>(install ? installMicroseconds : 0));
            std::fflush(stdout);
        }
    }
    return 0;
}
