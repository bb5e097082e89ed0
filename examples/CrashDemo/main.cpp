// CrashDemo: a small application that uses the crash reporter the way a real one would.
// It starts the reporter beside it, registers, shows a painted window, hands the window to
// the reporter and then writes through a null pointer. Progress goes to standard output.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CrashClient/CrashClient.h"
#include "CrashClient/ReporterLauncher.h"
#include "CrashDemo/CrashHandler.h"
#include "CrashDemo/DemoOptions.h"
#include "CrashDemo/DemoWindow.h"

namespace {

constexpr wchar_t kReporterFileName[] = L"RIZurarUzedudor.exe";
constexpr int kUsageExitCode = 2;
constexpr int kSetUpFailedExitCode = 1;
constexpr DWORD kSpawnTimeoutMs = 10000;
constexpr DWORD kRegisterTimeoutMs = 5000;
// Covers a full-memory dump, the upload and the scan, with room to spare.
constexpr DWORD kDumpTimeoutMs = 120000;
// Long enough for the window to be painted and for the reporter to have read its handle.
constexpr DWORD kShowBeforeCrashMs = 1000;
constexpr std::size_t kAnnotationCount = 2;

int Fail(const char* what)
{
    std::printf("CrashDemo: %s\n", what);
    return kSetUpFailedExitCode;
}

// Out of line and through a volatile pointer, so the compiler emits a real store to
// address 0 rather than a trap instruction of its own.
__attribute__((noinline)) void WriteThroughNullPointer()
{
    volatile int* volatile target = nullptr;
    *target = 0xDEAD;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    DemoOptions options;
    if (!ParseDemoOptions(std::vector<std::wstring>(argv + 1, argv + argc), options)) {
        std::fputws(kDemoUsage, stderr);
        return kUsageExitCode;
    }

    wchar_t modulePath[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return Fail("cannot find the program's own path");
    }

    ReporterLauncher launcher;
    ReporterLauncher::Options launch;
    launch.reporterPath = SiblingPath(modulePath, kReporterFileName);
    launch.serverName = options.serverName;
    launch.collectorHost = options.collectorHost;
    launch.dumpDirectory = options.dumpDirectory;
    if (!launcher.Launch(launch, kSpawnTimeoutMs)) {
        return Fail("the reporter did not start");
    }
    std::printf("reporter started, process %lu, pipe %ls\n",
                ::GetProcessId(launcher.ReporterProcess()), launcher.PipeName().c_str());

    CrashClient client(kAnnotationCount);
    client.AddAnnotation(L"application", L"CrashDemo");
    client.AddAnnotation(L"scenario", L"write through a null pointer");
    const std::uint32_t dumpType = DemoDumpType(options);
    if (!client.Register(launcher.PipeName(), dumpType, kRegisterTimeoutMs)) {
        return Fail("registration with the reporter failed");
    }
    std::printf("registered, dump type 0x%lx\n", static_cast<unsigned long>(dumpType));

    // Without a display the crash is still reported, only without a screenshot.
    DemoWindow window;
    if (!window.Create(::GetModuleHandleW(nullptr))) {
        std::printf("no window (error %lu): the report will hold no screenshot\n",
                    ::GetLastError());
    } else if (!launcher.HandOverWindow(window.Handle())) {
        std::printf("the window handle could not be handed over (error %lu)\n", ::GetLastError());
    } else {
        std::printf("window 0x%lx handed to the reporter\n",
                    static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window.Handle())));
    }

    CrashHandler::Install(client, kDumpTimeoutMs);
    DemoWindow::PumpMessages(kShowBeforeCrashMs);

    std::printf("crashing thread %lu: writing through a null pointer\n", ::GetCurrentThreadId());
    std::fflush(stdout);
    WriteThroughNullPointer();
    return 0;  // not reached
}
