#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"
#include "CrashReporter/diag/JXDiagWrapper.h"
#include "LinkedTokenProcess.h"
#include "ReplacementLibrary.h"

using namespace diag_testing;
using Lines = std::vector<std::string>;

namespace {

// Exit-code bits of DiagProbe.exe.
constexpr DWORD kElevated = 1;
constexpr DWORD kScanStarted = 2;

// Each case copies the probe beside a replacement "libjxdiag.dll" in a folder of its own, so
// the probe finds the library the way the reporter would: in its own folder.
TEST(DiagProcessTest, ElevatedProcessRunsTheScanWithTheLibraryBesideIt)
{
    if (!IsProcessElevated()) {
        GTEST_SKIP() << "needs an elevated test run";
    }
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    ASSERT_TRUE(library.CopyProgram(L"DiagProbe.exe"));

    testing_support::ChildProcess probe;
    ASSERT_TRUE(probe.Start(library.File(L"DiagProbe.exe"), {}));
    ASSERT_TRUE(probe.Wait());
    EXPECT_EQ(probe.ExitCode(), kElevated | kScanStarted);  // and unloaded afterwards
    EXPECT_EQ(library.LogLines(),
              (Lines{"attach", "JXD_InitializeW KZR 0 0",
                     "JXD_SetUserInformationW 0 RIZurarUzedudor Crash", "JXD_SetScanLevel 2",
                     "JXD_SetScanOption 0", "JXD_StartScan", "JXD_Finalize", "detach"}));
}

TEST(DiagProcessTest, ProcessThatIsNotElevatedNeverLoadsTheLibrary)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    ASSERT_TRUE(library.CopyProgram(L"DiagProbe.exe"));
    const std::wstring probe = library.File(L"DiagProbe.exe");

    DWORD exitCode = 0xFFFFFFFF;
    if (!IsProcessElevated()) {
        testing_support::ChildProcess child;
        ASSERT_TRUE(child.Start(probe, {}));
        ASSERT_TRUE(child.Wait());
        exitCode = child.ExitCode();
    } else {
        LinkedTokenRun run = RunWithLinkedToken(probe, exitCode);
        if (run == LinkedTokenRun::Unavailable) {
            GTEST_SKIP() << "no usable linked token to start a process that is not elevated";
        }
        ASSERT_EQ(run, LinkedTokenRun::Ran);
    }
    EXPECT_EQ(exitCode, 0u);  // not elevated, no scan, nothing loaded
    EXPECT_FALSE(library.LogExists());
}

// The library runs elevated, so a copy planted where the standard search order looks (the
// current folder, a PATH folder) must never be taken: only the program's own folder and the
// system folder count. The library beside the program is found by the case above.
TEST(DiagProcessTest, LibraryOnThePathOrInTheCurrentFolderIsNeverLoaded)
{
    if (!IsProcessElevated()) {
        GTEST_SKIP() << "needs an elevated test run";
    }
    ReplacementLibrary planted(Variant::Whole);
    ASSERT_TRUE(planted.Ready());
    // Made second, so the log setting names this folder, where the planted copy would log.
    ReplacementLibrary program(Variant::None);
    ASSERT_TRUE(program.CopyProgram(L"DiagProbe.exe"));

    wchar_t path[32768];
    const DWORD pathLength = ::GetEnvironmentVariableW(L"PATH", path, 32768);
    ASSERT_GT(pathLength, 0u);
    ASSERT_LT(pathLength, 32768u);
    wchar_t folder[MAX_PATH];
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, folder), 0u);
    ASSERT_TRUE(::SetEnvironmentVariableW(L"PATH", (planted.Folder() + L";" + path).c_str()));
    ASSERT_TRUE(::SetCurrentDirectoryW(planted.Folder().c_str()));

    testing_support::ChildProcess probe;
    const bool started = probe.Start(program.File(L"DiagProbe.exe"), {});
    ::SetCurrentDirectoryW(folder);
    ::SetEnvironmentVariableW(L"PATH", path);
    ASSERT_TRUE(started);
    ASSERT_TRUE(probe.Wait());
    EXPECT_EQ(probe.ExitCode(), kElevated);  // no scan, nothing loaded
    EXPECT_FALSE(program.LogExists());
}

}  // namespace
