// An application that installs crash reporting and then does one thing the tests ask for:
//   CrashKindsClient.exe <collector-host> <dump dir> <server name> <scenario> [--worker]
// A scenario is a crash kind of the demo (null-write, stack-overflow, abort, ...; --worker
// crashes on a worker thread) or one of the cases below. Lines on standard output say what
// it did; "crashing thread <id>:" names every thread that crashes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "CrashClient/CrashReporting.h"
#include "CrashDemo/CrashKinds.h"
#include "PrintFlushed.h"

namespace {

constexpr DWORD kRegistrationWaitMs = 30000;
constexpr DWORD kCrashDumpTimeoutMs = 120000;
// Shorter than the slow collector takes to answer: the report is given up while it runs.
constexpr DWORD kShortDumpTimeoutMs = 2000;
// Long enough that a time-out cannot pass for a failure that was told.
constexpr DWORD kFailedDumpTimeoutMs = 20000;
constexpr DWORD kUnderUseDumpTimeoutMs = 10000;
constexpr DWORD kUninstallAfterMs = 1000;
constexpr int kUsageExitCode = 2;
constexpr int kFailedExitCode = 1;
constexpr UINT kOwnFilterExitCode = 0x42;

LONG WINAPI ForeignFilter(EXCEPTION_POINTERS*)
{
    PrintFlushed("foreign filter called\n");
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OwnFilter(EXCEPTION_POINTERS*)
{
    PrintFlushed("own filter called\n");
    ::TerminateProcess(::GetCurrentProcess(), kOwnFilterExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void CrashInsideTheHandler(void*)
{
    PrintFlushed("the crash callback writes through a null pointer\n");
    volatile int* volatile target = nullptr;
    *target = 1;
}

bool WaitRegistered()
{
    const CrashReporting::Registration registration =
        CrashReporting::WaitForRegistration(kRegistrationWaitMs);
    PrintFlushed("registration: %s\n", RegistrationText(registration));
    return registration == CrashReporting::Registration::Registered;
}

const CrashKindInfo& NullWrite()
{
    return *FindCrashKind(L"null-write");
}

// Two threads that crash at the same moment.
HANDLE crashTogether = nullptr;

DWORD WINAPI CrashWhenTold(void*)
{
    ::WaitForSingleObject(crashTogether, INFINITE);
    Crash(NullWrite(), false);
}

int TwoThreads()
{
    crashTogether = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[2];
    for (HANDLE& thread : threads) {
        thread = ::CreateThread(nullptr, 0, CrashWhenTold, nullptr, 0, nullptr);
    }
    ::Sleep(100);
    ::SetEvent(crashTogether);
    ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    PrintFlushed("the threads did not end the process\n");
    return kFailedExitCode;
}

int HijackedFilter()
{
    // Once through the import, once through a run-time lookup, as a plug-in would.
    const LPTOP_LEVEL_EXCEPTION_FILTER first = ::SetUnhandledExceptionFilter(ForeignFilter);
    using SetFilter = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
    auto set = reinterpret_cast<SetFilter>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetUnhandledExceptionFilter")));
    const LPTOP_LEVEL_EXCEPTION_FILTER second = set(ForeignFilter);
    // What a caller that chains would call: the crash handling's filter, which stays.
    PrintFlushed("filter replaced twice, both calls returned %s\n",
                 first == second && first != nullptr && first != ForeignFilter
                     ? "the filter in force"
                     : "another");
    Crash(NullWrite(), false);
}

int HijackThenUninstall()
{
    ::SetUnhandledExceptionFilter(ForeignFilter);
    CrashReporting::Uninstall();
    const LPTOP_LEVEL_EXCEPTION_FILTER left = ::SetUnhandledExceptionFilter(OwnFilter);
    PrintFlushed("uninstalled; %s is in place\n",
                 left == ForeignFilter ? "the filter asked for while installed" : "another filter");
    Crash(NullWrite(), false);
}

int ReportTwice()
{
    CrashReporting::SetAnnotation(L"step", L"first");
    PrintFlushed("report 1: %s\n", DumpWaitText(CrashReporting::ReportNow(L"first check")));
    CrashReporting::SetAnnotation(L"step", L"second");
    PrintFlushed("report 2: %s\n", DumpWaitText(CrashReporting::ReportNow(L"second check")));
    PrintFlushed("still running\n");
    return 0;
}

// Writers on two threads while the main thread crashes: whatever the report holds must be
// whole entries.
volatile LONG stopWriting = 0;

DWORD WINAPI WriteAnnotations(void* name)
{
    for (unsigned i = 0; !stopWriting; ++i) {
        CrashReporting::SetAnnotation(static_cast<const wchar_t*>(name),
                                      std::wstring(1 + i % 60, L'a' + i % 26));
    }
    return 0;
}

int Annotations()
{
    CrashReporting::SetAnnotation(L"user", L"someone");
    CrashReporting::SetAnnotation(L"document", L"draft.txt");
    CrashReporting::SetAnnotation(L"document", L"final.txt");  // replaced
    CrashReporting::SetAnnotation(L"temporary", L"x");
    CrashReporting::SetAnnotation(L"temporary", L"");  // removed
    CrashReporting::SetAnnotation(L"long", std::wstring(100, L'L'));
    CrashReporting::SetAnnotation(L"unicode", L"\u00e9t\u00e9 \u6771\u4eac");
    ::CreateThread(nullptr, 0, WriteAnnotations, const_cast<wchar_t*>(L"busy-1"), 0, nullptr);
    ::CreateThread(nullptr, 0, WriteAnnotations, const_cast<wchar_t*>(L"busy-2"), 0, nullptr);
    ::Sleep(200);
    Crash(NullWrite(), false);
}

// A report given up while the reporter still makes it, then a crash at once: the crash
// must get its own report, not be taken for the one before.
int ReportNowTimesOutThenCrash()
{
    PrintFlushed("report now: %s\n", DumpWaitText(CrashReporting::ReportNow(L"before the crash")));
    Crash(NullWrite(), false);
}

int ReportNowWithFailingDump()
{
    PrintFlushed("report now: %s\n", DumpWaitText(CrashReporting::ReportNow(L"no dump folder")));
    Crash(NullWrite(), false);
}

// Two reports asked for at the same moment, each with its own reason.
HANDLE reportTogether = nullptr;

DWORD WINAPI ReportWhenTold(void* reason)
{
    ::WaitForSingleObject(reportTogether, INFINITE);
    const CrashClient::DumpWait result =
        CrashReporting::ReportNow(static_cast<const wchar_t*>(reason));
    PrintFlushed("%ls: %s\n", static_cast<const wchar_t*>(reason), DumpWaitText(result));
    return 0;
}

int ReportsAtOnce()
{
    reportTogether = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[] = {
        ::CreateThread(nullptr, 0, ReportWhenTold, const_cast<wchar_t*>(L"reason one"), 0, nullptr),
        ::CreateThread(nullptr, 0, ReportWhenTold, const_cast<wchar_t*>(L"reason two"), 0, nullptr),
    };
    ::Sleep(100);
    ::SetEvent(reportTogether);
    ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    PrintFlushed("both reported\n");
    return 0;
}

// Every entry point at work on other threads while the main thread uninstalls and installs
// again: none may touch what Uninstall freed.
volatile LONG stopUsing = 0;

DWORD WINAPI KeepReporting(void*)
{
    while (!stopUsing) {
        CrashReporting::ReportNow(L"under use");
    }
    return 0;
}

DWORD WINAPI KeepAnnotating(void*)
{
    for (unsigned i = 0; !stopUsing; ++i) {
        CrashReporting::SetAnnotation(L"counter", std::to_wstring(i));
        CrashReporting::SetWindow(nullptr);
        CrashReporting::WaitForRegistration(0);
    }
    return 0;
}

int UninstallUnderUse(CrashReporting::Options options)
{
    HANDLE threads[] = {
        ::CreateThread(nullptr, 0, KeepReporting, nullptr, 0, nullptr),
        ::CreateThread(nullptr, 0, KeepAnnotating, nullptr, 0, nullptr),
        ::CreateThread(nullptr, 0, KeepAnnotating, nullptr, 0, nullptr),
    };
    ::Sleep(kUninstallAfterMs);  // a report is under way against the slow collector
    CrashReporting::Uninstall();
    PrintFlushed("uninstalled while in use\n");
    options.serverName += L"-again";
    const CrashReporting::InstallResult again = CrashReporting::Install(options);
    PrintFlushed("installed again: %s\n", InstallFailureText(again.failure));
    CrashReporting::SetWindow(nullptr);
    WaitRegistered();
    ::Sleep(kUninstallAfterMs);
    CrashReporting::Uninstall();
    ::InterlockedExchange(&stopUsing, 1);
    ::WaitForMultipleObjects(3, threads, TRUE, INFINITE);
    PrintFlushed("every thread came back\n");
    return 0;
}

int UninstallThenCrash(LPTOP_LEVEL_EXCEPTION_FILTER before)
{
    CrashReporting::Uninstall();
    const LPTOP_LEVEL_EXCEPTION_FILTER restored = ::SetUnhandledExceptionFilter(OwnFilter);
    PrintFlushed("uninstalled; the filter from before %s\n",
                 restored == before ? "is back" : "is NOT back");
    Crash(NullWrite(), false);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        std::fputs(
            "usage: CrashKindsClient.exe <collector-host> <dump dir> <server name> "
            "<scenario> [--worker]\n",
            stderr);
        return kUsageExitCode;
    }
    const std::wstring scenario = argv[4];
    const bool onWorker = argc > 5 && std::wstring(argv[5]) == L"--worker";
    const CrashKindInfo* kind = FindCrashKind(scenario);
    if (kind != nullptr) {
        PrepareCrash(kind->kind);
    }

    // The filter in place before Install, to see Uninstall put it back.
    const LPTOP_LEVEL_EXCEPTION_FILTER before = ::SetUnhandledExceptionFilter(OwnFilter);
    ::SetUnhandledExceptionFilter(before);

    CrashReporting::Options options;
    options.reporterPath = CrashReporting::PathBesideProgram(kReporterFileName);
    options.collectorHost = argv[1];
    options.dumpDirectory = argv[2];
    options.serverName = argv[3];
    options.dumpTimeoutMs = kCrashDumpTimeoutMs;
    options.annotations = {{L"scenario", scenario}};
    if (scenario == L"handler-crash") {
        options.onCrash = CrashInsideTheHandler;
    }
    if (scenario == L"report-now-timed-out-then-crash") {
        options.dumpTimeoutMs = kShortDumpTimeoutMs;
    }
    if (scenario == L"failing-dump") {
        options.dumpDirectory += L"\\missing";  // the reporter starts, and no dump can be written
        options.dumpTimeoutMs = kFailedDumpTimeoutMs;
    }
    if (scenario == L"uninstall-under-use") {
        options.dumpTimeoutMs = kUnderUseDumpTimeoutMs;
    }
    const CrashReporting::InstallResult installed = CrashReporting::Install(options);
    PrintFlushed("install: %s, missing handlers 0x%x\n", InstallFailureText(installed.failure),
                 installed.missingHandlers);
    if (!installed.Installed()) {
        return kFailedExitCode;
    }
    CrashReporting::SetWindow(nullptr);  // no window: the reporter need not wait for one
    if (scenario == L"before-registration") {
        PrintFlushed("registration now: %s\n",
                     RegistrationText(CrashReporting::WaitForRegistration(0)));
        Crash(NullWrite(), false);
    }
    if (!WaitRegistered()) {
        return kFailedExitCode;
    }
    if (kind != nullptr) {
        Crash(*kind, onWorker);
    }
    const std::pair<const wchar_t*, std::function<int()>> cases[] = {
        {L"two-threads", TwoThreads},
        {L"hijacked-filter", HijackedFilter},
        {L"report-now", ReportTwice},
        {L"annotations", Annotations},
        {L"uninstall", [before] { return UninstallThenCrash(before); }},
        {L"hijack-then-uninstall", HijackThenUninstall},
        {L"report-now-timed-out-then-crash", ReportNowTimesOutThenCrash},
        {L"failing-dump", ReportNowWithFailingDump},
        {L"reports-at-once", ReportsAtOnce},
        {L"uninstall-under-use", [&options] { return UninstallUnderUse(options); }},
    };
    for (const auto& [name, run] : cases) {
        if (scenario == name) {
            return run();
        }
    }
    if (scenario == L"handler-crash") {
        Crash(NullWrite(), false);
    }
    PrintFlushed("unknown scenario\n");
    return kUsageExitCode;
}
