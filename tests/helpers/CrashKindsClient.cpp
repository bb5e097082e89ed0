// An application that installs crash reporting and then does one thing the tests ask for:
//   CrashKindsClient.exe <collector-host> <dump dir> <server name> <scenario> [--worker]
// A scenario is a crash kind of the demo (null-write, stack-overflow, abort, ...; --worker
// crashes on a worker thread) or one of the cases below. Lines on standard output say what
// it did; "crashing thread <id>:" names every thread that crashes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CrashClient/CrashReporting.h"
#include "CrashDemo/CrashKinds.h"
#include "PrintFlushed.h"

namespace {

constexpr DWORD kRegistrationWaitMs = 30000;
constexpr DWORD kCrashDumpTimeoutMs = 120000;
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
    ::SetUnhandledExceptionFilter(ForeignFilter);
    using SetFilter = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
    auto set = reinterpret_cast<SetFilter>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetUnhandledExceptionFilter")));
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = set(ForeignFilter);
    PrintFlushed("filter replaced twice, the second call returned %s\n",
                 previous == ForeignFilter ? "the first" : "another");
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
    if (scenario == L"two-threads") {
        return TwoThreads();
    }
    if (scenario == L"hijacked-filter") {
        return HijackedFilter();
    }
    if (scenario == L"report-now") {
        return ReportTwice();
    }
    if (scenario == L"annotations") {
        return Annotations();
    }
    if (scenario == L"uninstall") {
        return UninstallThenCrash(before);
    }
    if (scenario == L"handler-crash") {
        Crash(NullWrite(), false);
    }
    PrintFlushed("unknown scenario\n");
    return kUsageExitCode;
}
