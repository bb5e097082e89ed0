// CrashDemo: a small application that uses the crash reporter the way a real one would.
// One call installs crash reporting; the demo shows a painted window, hands it over and
// then crashes in the way asked for (a write through a null pointer by default). Progress
// goes to standard output.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CrashClient/CrashReporting.h"
#include "CrashDemo/CrashKinds.h"
#include "CrashDemo/DemoOptions.h"
#include "CrashDemo/DemoWindow.h"

namespace {

constexpr int kUsageExitCode = 2;
constexpr int kSetUpFailedExitCode = 1;
// Long enough for the window to be painted and for the reporter to have read its handle.
constexpr DWORD kShowBeforeCrashMs = 1000;
constexpr DWORD kRegistrationWaitMs = 20000;
constexpr DWORD kAnswerWatchdogMs = 2500;

void ListKinds()
{
    std::size_t count = 0;
    const CrashKindInfo* kinds = CrashKinds(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::printf("%-20ls 0x%08lX  %s\n", kinds[i].name,
                    static_cast<unsigned long>(kinds[i].code), kinds[i].description);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    DemoOptions options;
    if (!ParseDemoOptions(std::vector<std::wstring>(argv + 1, argv + argc), options)) {
        std::fputws(kDemoUsage, stderr);
        return kUsageExitCode;
    }
    if (options.listKinds) {
        ListKinds();
        return 0;
    }
    const CrashKindInfo& kind = *FindCrashKind(options.crashKind);
    PrepareCrash(kind.kind);

    CrashReporting::Options reporting;
    reporting.reporterPath = CrashReporting::PathBesideProgram(kReporterFileName);
    reporting.serverName = options.serverName;
    reporting.collectorHost = options.collectorHost;
    reporting.dumpDirectory = options.dumpDirectory;
    reporting.dumpType = DemoDumpType(options);
    reporting.annotations = {{L"application", L"CrashDemo"}, {L"crash kind", kind.name}};
    // The shortest threshold, so that the report is made early in the 8-second block: the
    // dump's stack memory is read when the reporter writes it, and shows the block only while
    // the thread still blocks.
    reporting.watchForHangs = kind.kind == CrashKind::Hang;
    reporting.hangThresholdMs = kMinHangThresholdMs;
    const CrashReporting::InstallResult installed = CrashReporting::Install(reporting);
    if (!installed.Installed()) {
        std::printf("crash reporting not installed: %s\n", InstallFailureText(installed.failure));
        return kSetUpFailedExitCode;
    }
    std::printf("crash reporting installed, dump type 0x%lx\n",
                static_cast<unsigned long>(reporting.dumpType));

    // Without a display the crash is still reported, only without a screenshot.
    DemoWindow window;
    if (!window.Create(::GetModuleHandleW(nullptr))) {
        std::printf("no window (error %lu): the report will hold no screenshot\n",
                    ::GetLastError());
    } else {
        CrashReporting::SetWindow(window.Handle());
        std::printf("window 0x%lx handed to the reporter\n",
                    static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window.Handle())));
    }
    // The hang watchdog probes once a second and watches a window from its first answer on.
    DemoWindow::PumpMessages(kind.kind == CrashKind::Hang ? kAnswerWatchdogMs : kShowBeforeCrashMs);
    // Only so that the output says how it went: a crash would wait for the registration.
    std::printf("registration: %s\n",
                RegistrationText(CrashReporting::WaitForRegistration(kRegistrationWaitMs)));
    std::fflush(stdout);
    if (kind.kind == CrashKind::Hang) {
        HangThisThread(kind);
        DemoWindow::PumpMessages(kShowBeforeCrashMs);
        CrashReporting::Uninstall();  // finishes the hang report first
        std::printf("ended without a crash\n");
        return 0;
    }
    Crash(kind, false);
}
