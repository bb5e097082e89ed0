#include <gtest/gtest.h>

#include <windows.h>

#include <csignal>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "CrashClient/AnnotationTable.h"
#include "CrashClient/CrashCodes.h"
#include "CrashClient/CrashReportingC.h"
#include "CrashClient/CrtHooks.h"
#include "CrashClient/FilterGuard.h"
#include "CrashClient/SyntheticException.h"

namespace {

std::wstring NameAt(const AnnotationTable& table, std::size_t i)
{
    const auto* entries =
        reinterpret_cast<const ClientAnnotation*>(static_cast<std::uintptr_t>(table.Address()));
    return entries[i].name;
}

std::wstring ValueAt(const AnnotationTable& table, std::size_t i)
{
    const auto* entries =
        reinterpret_cast<const ClientAnnotation*>(static_cast<std::uintptr_t>(table.Address()));
    return entries[i].value;
}

TEST(AnnotationTableTest, NamesKeepTheirEntryThroughUpdatesAndRemovals)
{
    AnnotationTable table(3);
    ASSERT_EQ(table.Capacity(), 3u);
    EXPECT_TRUE(table.Set(L"a", L"1"));
    EXPECT_TRUE(table.Set(L"b", L"2"));
    EXPECT_TRUE(table.Set(L"a", L"one"));  // updated in place
    EXPECT_EQ(NameAt(table, 0), L"a");
    EXPECT_EQ(ValueAt(table, 0), L"one");
    EXPECT_TRUE(table.Set(L"a", L""));  // removed: the entry is free again
    EXPECT_EQ(NameAt(table, 0), L"");
    EXPECT_TRUE(table.Set(L"c", L"3"));
    EXPECT_EQ(NameAt(table, 0), L"c");
    EXPECT_TRUE(table.Set(L"d", L"4"));
    EXPECT_FALSE(table.Set(L"e", L"5"));  // full
    EXPECT_TRUE(table.Set(L"missing", L""));
    EXPECT_FALSE(table.Set(L"", L"no name"));
}

TEST(AnnotationTableTest, ALongNameIsCutAndStillFindsItsEntry)
{
    AnnotationTable table(2);
    const std::wstring longName(100, L'n');
    EXPECT_TRUE(table.Set(longName, std::wstring(100, L'v')));
    EXPECT_TRUE(table.Set(longName, L"again"));  // the same entry, not the second one
    EXPECT_EQ(NameAt(table, 0), std::wstring(63, L'n'));
    EXPECT_EQ(ValueAt(table, 0), L"again");
    EXPECT_EQ(NameAt(table, 1), L"");
}

DWORD WINAPI HoldBriefly(void* table)
{
    return static_cast<AnnotationTable*>(table)->Hold(50) ? 1 : 0;
}

TEST(AnnotationTableTest, AHolderKeepsWritersOutAndAnotherHolderWaitsOnlyItsBound)
{
    AnnotationTable table(1);
    ASSERT_TRUE(table.Hold(0));
    DWORD otherHold = 0;
    HANDLE other = ::CreateThread(nullptr, 0, HoldBriefly, &table, 0, nullptr);
    ASSERT_NE(other, nullptr);
    ::WaitForSingleObject(other, INFINITE);
    ::GetExitCodeThread(other, &otherHold);
    ::CloseHandle(other);
    EXPECT_EQ(otherHold, 0u);
    table.Release();
    EXPECT_TRUE(table.Set(L"after", L"release"));
}

TEST(SyntheticExceptionTest, RecordsTheCodeAtTheCapturedInstruction)
{
    CONTEXT context{};
#ifdef _WIN64
    context.Rip = 0x00401234;
#else
    context.Eip = 0x00401234;
#endif
    const EXCEPTION_RECORD record = MakeSyntheticExceptionRecord(kAbortCode, context);
    EXPECT_EQ(record.ExceptionCode, kAbortCode);
    EXPECT_EQ(record.ExceptionFlags, static_cast<DWORD>(EXCEPTION_NONCONTINUABLE));
    EXPECT_EQ(record.ExceptionAddress, reinterpret_cast<PVOID>(0x00401234));
    EXPECT_EQ(record.NumberParameters, 0u);
    EXPECT_EQ(record.ExceptionRecord, nullptr);
}

TEST(SyntheticExceptionTest, TerminateIsToldApartByTheExceptionInFlight)
{
    EXPECT_EQ(TerminateCodeFor(nullptr), kTerminateCode);
    EXPECT_EQ(TerminateCodeFor(std::make_exception_ptr(std::bad_alloc())), kOutOfMemoryCode);
    EXPECT_EQ(TerminateCodeFor(std::make_exception_ptr(std::runtime_error("x"))),
              kUncaughtExceptionCode);
    EXPECT_EQ(TerminateCodeFor(std::make_exception_ptr(42)), kUncaughtExceptionCode);
}

TEST(SyntheticExceptionTest, AnUncaughtExceptionIsDescribedByTypeAndMessage)
{
    std::string type;
    std::string message;
    DescribeException(std::make_exception_ptr(std::runtime_error("disk full")), type, message);
    EXPECT_EQ(type, "std::runtime_error");
    EXPECT_EQ(message, "disk full");
    DescribeException(std::make_exception_ptr(42), type, message);
    EXPECT_EQ(type, "int");
    EXPECT_EQ(message, "");
    DescribeException(nullptr, type, message);
    EXPECT_EQ(type, "");
}

TEST(FilterGuardTest, JumpDisplacementCountsFromTheNextInstruction)
{
    std::uint8_t bytes[kRelativeJumpSize];
    EncodeRelativeJump(0x1000, 0x2000, bytes);
    EXPECT_EQ(bytes[0], 0xE9);
    EXPECT_EQ(bytes[1] | bytes[2] << 8 | bytes[3] << 16 | std::uint32_t(bytes[4]) << 24, 0xFFBu);
    EncodeRelativeJump(0x2000, 0x1000, bytes);  // backwards: negative
    EXPECT_EQ(bytes[1] | bytes[2] << 8 | bytes[3] << 16 | std::uint32_t(bytes[4]) << 24,
              0xFFFFEFFBu);
}

TEST(FilterGuardTest, AbsoluteJumpLoadsTheWholeTargetIntoRax)
{
    std::uint8_t bytes[kAbsoluteJumpSize];
    EncodeAbsoluteJump(0x00007FF612345678ull, bytes);
    const std::uint8_t expected[kAbsoluteJumpSize] = {0x48, 0xB8, 0x78, 0x56, 0x34, 0x12,
                                                      0xF6, 0x7F, 0x00, 0x00, 0xFF, 0xE0};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(bytes)));
}

TEST(FilterGuardTest, JumpsAreFollowedToWhereTheyLead)
{
    std::uint8_t code[64] = {};
    code[0] = 0xEB;  // jmp rel8 to 10
    code[1] = 8;
    code[10] = 0xE9;  // jmp rel32 to 4, backwards
    const std::int32_t back = 4 - 15;
    std::memcpy(code + 11, &back, sizeof(back));
    code[4] = 0x55;  // push rbp: no jump
    EXPECT_EQ(JumpDestination(code), code + 10);
    EXPECT_EQ(JumpDestination(code + 10), code + 4);
    EXPECT_EQ(JumpDestination(code + 4), nullptr);
#ifdef _WIN64
    // An import thunk: rex.w jmp qword ptr [rip+9], the pointer after the instruction.
    const std::uint8_t thunk[] = {0x48, 0xFF, 0x25, 0x09, 0x00, 0x00, 0x00};
    std::memcpy(code + 20, thunk, sizeof(thunk));
    const std::uint8_t* destination = code + 40;
    std::memcpy(code + 20 + sizeof(thunk) + 9, &destination, sizeof(destination));
    EXPECT_EQ(JumpDestination(code + 20), code + 40);
    EXPECT_EQ(JumpDestination(code + 21), code + 40);  // the same without the prefix
#endif
}

LONG WINAPI FilterA(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI FilterB(EXCEPTION_POINTERS*)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(FilterGuardTest, OtherFiltersAreRecordedWhileEngagedAndOursStays)
{
    const LPTOP_LEVEL_EXCEPTION_FILTER original = ::SetUnhandledExceptionFilter(FilterA);
    {
        FilterGuard guard;
        ASSERT_TRUE(guard.Engage(FilterA));
        EXPECT_FALSE(FilterGuard::AnyDisplaced());
        // A caller that chains to what it displaced is given the filter really in place.
        EXPECT_EQ(::SetUnhandledExceptionFilter(FilterB), FilterA);
        EXPECT_EQ(FilterGuard::Displaced(), FilterB);
        EXPECT_EQ(::SetUnhandledExceptionFilter(nullptr), FilterA);
        EXPECT_TRUE(FilterGuard::AnyDisplaced());
        EXPECT_EQ(FilterGuard::Displaced(), nullptr);
    }  // disengaged: calls take effect again, and FilterA was never replaced
    EXPECT_EQ(::SetUnhandledExceptionFilter(FilterB), FilterA);
    EXPECT_EQ(::SetUnhandledExceptionFilter(original), FilterB);
}

void __cdecl AbortHandler(int) {}
void __cdecl InvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                     std::uintptr_t)
{
}
void __cdecl PureCallHandler() {}

TEST(CrtHooksTest, TheRuntimeSignalHandlerIsOursUntilRestored)
{
    const auto before = std::signal(SIGABRT, SIG_DFL);
    CrtHooks hooks;
    const CrtHooks::Hooked hooked =
        hooks.Install(CrtHooks::Handlers{AbortHandler, InvalidParameterHandler, PureCallHandler});
    EXPECT_TRUE(hooked.abortSignal);
    EXPECT_EQ(std::signal(SIGABRT, AbortHandler), AbortHandler);
    hooks.Restore();
    EXPECT_EQ(std::signal(SIGABRT, before), SIG_DFL);
}

TEST(CrashReportingCTest, RefusalsAndCallsBeforeInstallAreReported)
{
    crash_reporting_options options{};
    EXPECT_EQ(crash_reporting_install(nullptr, nullptr), CRASH_REPORTING_INVALID_OPTIONS);
    EXPECT_EQ(crash_reporting_install(&options, nullptr), CRASH_REPORTING_INVALID_OPTIONS);
    options.size = sizeof(options);
    options.reporter_path = L"C:\\nowhere\\reporter.exe";
    options.server_name = L"Test";
    options.collector_host = L"http://127.0.0.1:9";
    EXPECT_EQ(crash_reporting_install(&options, nullptr), CRASH_REPORTING_INVALID_OPTIONS);
    options.dump_directory = L"dumps";
    unsigned int missing = 99;
    EXPECT_EQ(crash_reporting_install(&options, &missing), CRASH_REPORTING_REPORTER_NOT_FOUND);
    EXPECT_EQ(missing, 0u);
    const wchar_t* holes[] = {L"a.log", nullptr};
    options.extra_files = holes;
    options.extra_file_count = 2;
    EXPECT_EQ(crash_reporting_install(&options, nullptr), CRASH_REPORTING_INVALID_OPTIONS);
    options.extra_file_count = 0;
    options.watch_for_hangs = 1;
    options.hang_threshold_ms = 1999;  // a slow moment would pass for a hang
    EXPECT_EQ(crash_reporting_install(&options, nullptr), CRASH_REPORTING_INVALID_OPTIONS);

    EXPECT_EQ(crash_reporting_wait_for_registration(0), CRASH_REPORTING_NOT_INSTALLED);
    EXPECT_EQ(crash_reporting_report_now(L"x"), CRASH_REPORTING_REPORT_FAILED);
    EXPECT_EQ(crash_reporting_set_annotation(L"a", L"b"), 0);
    EXPECT_EQ(crash_reporting_set_window(nullptr), 0);
    EXPECT_EQ(crash_reporting_heartbeat(), 0);
    crash_reporting_pause_hang_watch();
    crash_reporting_resume_hang_watch();
    crash_reporting_uninstall();  // harmless when not installed
}

}  // namespace
