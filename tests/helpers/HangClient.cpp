// An application with hang reports on that hangs, or nearly hangs, in the way a test asks:
//   HangClient.exe <collector-host> <dump dir> <server name> <scenario>
//   blocked-window    its window's thread blocks in BlockTheWindowThread past the threshold
//   busy-window       its window's thread works for the threshold and longer, reading its
//                     messages between pieces of work
//   paused-window     the same block as blocked-window, between pause and resume
//   stopped-heartbeat a worker beats a while, then blocks in StopBeating past the threshold
// Lines on standard output say what it did; "hung thread <id>" names the thread that blocks.
// It always goes on and ends with exit code 0 (2 for a usage error, 1 when it cannot start).
#include <windows.h>

#include <cstdio>
#include <string>

#include "CrashClient/CrashReporting.h"
#include "CrashDemo/DemoWindow.h"
#include "PrintFlushed.h"

namespace {

constexpr DWORD kRegistrationWaitMs = 30000;
constexpr DWORD kThresholdMs = kMinHangThresholdMs;
// Well past the threshold, so the thread still blocks while its report's dump is written.
constexpr DWORD kBlockMs = 6 * kThresholdMs;
// Long enough for the window to answer the watchdog's first probes.
constexpr DWORD kAnswerFirstMs = 2500;
constexpr DWORD kBusyPieceMs = 300;
constexpr DWORD kHeartbeatMs = 200;
constexpr int kBeats = 5;
constexpr int kUsageExitCode = 2;
constexpr int kFailedExitCode = 1;

// Out of line, under names the report's stack shows.
__attribute__((noinline)) void BlockTheWindowThread()
{
    PrintFlushed("hung thread %lu\n", ::GetCurrentThreadId());
    ::Sleep(kBlockMs);
    PrintFlushed("the window's thread goes on\n");
}

__attribute__((noinline)) void StopBeating()
{
    PrintFlushed("hung thread %lu\n", ::GetCurrentThreadId());
    ::Sleep(kBlockMs);
    PrintFlushed("the worker goes on\n");
}

void WorkWithoutReading(DWORD durationMs)
{
    const ULONGLONG end = ::GetTickCount64() + durationMs;
    volatile unsigned long spins = 0;
    while (::GetTickCount64() < end) {
        spins = spins + 1;
    }
}

DWORD WINAPI BeatThenStop(void*)
{
    for (int i = 0; i < kBeats; ++i) {
        if (!CrashReporting::Heartbeat()) {
            PrintFlushed("heartbeat refused\n");
            return 1;
        }
        ::Sleep(kHeartbeatMs);
    }
    StopBeating();
    return 0;
}

int RunScenario(const std::wstring& scenario)
{
    if (scenario == L"stopped-heartbeat") {
        CrashReporting::SetWindow(nullptr);
        HANDLE worker = ::CreateThread(nullptr, 0, BeatThenStop, nullptr, 0, nullptr);
        ::WaitForSingleObject(worker, INFINITE);
        ::CloseHandle(worker);
        PrintFlushed("the worker has ended\n");
        ::Sleep(kAnswerFirstMs);  // an ended thread is not taken for a hung one
        return 0;
    }
    DemoWindow window;
    if (!window.Create(::GetModuleHandleW(nullptr))) {
        PrintFlushed("no window (error %lu)\n", ::GetLastError());
        return kFailedExitCode;
    }
    CrashReporting::SetWindow(window.Handle());
    DemoWindow::PumpMessages(kAnswerFirstMs);
    if (scenario == L"blocked-window") {
        BlockTheWindowThread();
    } else if (scenario == L"paused-window") {
        CrashReporting::PauseHangWatch();
        BlockTheWindowThread();
        DemoWindow::PumpMessages(kHeartbeatMs);
        CrashReporting::ResumeHangWatch();
    } else if (scenario == L"busy-window") {
        for (DWORD worked = 0; worked < kBlockMs; worked += kBusyPieceMs) {
            WorkWithoutReading(kBusyPieceMs);
            DemoWindow::PumpMessages(0);
        }
        PrintFlushed("busy, and answering\n");
    } else {
        PrintFlushed("unknown scenario\n");
        return kUsageExitCode;
    }
    DemoWindow::PumpMessages(kAnswerFirstMs);
    // Before the window goes: under Wine, destroying it waits for a probe in flight.
    CrashReporting::Uninstall();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        std::fputs("usage: HangClient.exe <collector-host> <dump dir> <server name> <scenario>\n",
                   stderr);
        return kUsageExitCode;
    }
    CrashReporting::Options options;
    options.reporterPath = CrashReporting::PathBesideProgram(kReporterFileName);
    options.collectorHost = argv[1];
    options.dumpDirectory = argv[2];
    options.serverName = argv[3];
    options.annotations = {{L"scenario", argv[4]}};
    options.watchForHangs = true;
    options.hangThresholdMs = kThresholdMs;
    const CrashReporting::InstallResult installed = CrashReporting::Install(options);
    PrintFlushed("install: %s\n", InstallFailureText(installed.failure));
    if (!installed.Installed()) {
        return kFailedExitCode;
    }
    const CrashReporting::Registration registration =
        CrashReporting::WaitForRegistration(kRegistrationWaitMs);
    PrintFlushed("registration: %s\n", RegistrationText(registration));
    if (registration != CrashReporting::Registration::Registered) {
        return kFailedExitCode;
    }
    const int exitCode = RunScenario(argv[4]);
    // A hang report still under way is finished first; after the scenario's own, a no-op.
    CrashReporting::Uninstall();
    PrintFlushed("still running\n");
    return exitCode;
}
