#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "CrashClient/ReporterLauncher.h"
#include "CrashReporter/app/ReportPaths.h"
#include "CrashProtocol/ReporterNames.h"
#include "CrashReporter/app/StartupArguments.h"

namespace {

TEST(ReporterNamesTest, PipeAndSpawnEventNamesAreThePlainConcatenations)
{
    EXPECT_EQ(MakeCrashPipeName(L"Alpha", L"4242"), L"\\\\.\\pipe\\QV_CRASH_REPORT\\Alpha4242");
    EXPECT_EQ(MakeSpawnEventName(L"Alpha"), L"Global\\QV_CRASH_REPORT-SPAWN-EVENTAlphaSpawn");
    // The pid is text: kept as given, never normalised.
    EXPECT_EQ(MakeCrashPipeName(L"A", L"0042x"), L"\\\\.\\pipe\\QV_CRASH_REPORT\\A0042x");
    EXPECT_EQ(MakeCrashPipeName(L"", L""), L"\\\\.\\pipe\\QV_CRASH_REPORT\\");
}

TEST(StartupArgumentsTest, ReadHandleIsParsedAsUnsignedHex)
{
    EXPECT_EQ(ParseReadHandle(L"ff"), 255u);
    EXPECT_EQ(ParseReadHandle(L"0xff"), 255u);
    EXPECT_EQ(ParseReadHandle(L"0XFF"), 255u);
    EXPECT_EQ(ParseReadHandle(L"  1c4"), 0x1c4u);
    EXPECT_EQ(ParseReadHandle(L"12zz"), 0x12u);  // stops at the first non-digit
    EXPECT_EQ(ParseReadHandle(L"zz"), 0u);
    EXPECT_EQ(ParseReadHandle(L""), 0u);
    EXPECT_EQ(ParseReadHandle(L"0x"), 0u);
    EXPECT_EQ(ParseReadHandle(L"ffffffff"), 0xFFFFFFFFu);
}

TEST(StartupArgumentsTest, FolderIsTheTextBeforeTheLastBackslash)
{
    EXPECT_EQ(FolderOfPath(L"C:\\Program Files\\App\\RIZurarUzedudor.exe"),
              L"C:\\Program Files\\App");
    EXPECT_EQ(FolderOfPath(L"C:\\x.exe"), L"C:");
    EXPECT_EQ(FolderOfPath(L"\\\\server\\share\\x.exe"), L"\\\\server\\share");
    EXPECT_EQ(FolderOfPath(L"x.exe"), L"x.exe");  // no backslash: used whole
    EXPECT_EQ(FolderOfPath(L"C:/a/b.exe"), L"C:/a/b.exe");
    EXPECT_EQ(FolderOfPath(L""), L"");
}

TEST(StartupArgumentsTest, ProgramInADriveRootRunsInTheRootNotTheDrivesCurrentFolder)
{
    EXPECT_EQ(WorkingFolderOfProgram(L"C:\\x.exe"), L"C:\\");
    EXPECT_EQ(WorkingFolderOfProgram(L"C:\\App\\x.exe"), L"C:\\App");
    EXPECT_EQ(WorkingFolderOfProgram(L"\\\\server\\share\\x.exe"), L"\\\\server\\share");
    EXPECT_EQ(WorkingFolderOfProgram(L"C:"), L"C:");  // no backslash: used whole, as before
}

TEST(StartupArgumentsTest, ExtraFilesStartWithTheSixthArgument)
{
    const wchar_t* six[] = {L"exe", L"s", L"h", L"d", L"1", L"ff", L"event"};
    EXPECT_EQ(ExtraFilesFromArguments(7, six), (std::vector<std::wstring>{L"event"}));
    const wchar_t* more[] = {L"exe", L"s", L"h", L"d", L"1", L"ff", L"event", L"*.log", L"a b"};
    EXPECT_EQ(ExtraFilesFromArguments(9, more),
              (std::vector<std::wstring>{L"event", L"*.log", L"a b"}));
    EXPECT_TRUE(ExtraFilesFromArguments(6, more).empty());
}

TEST(ReportPathsTest, PathsComeFromTheDumpPathLessItsExtension)
{
    const std::wstring base = ReportBasePath(L"D:\\dumps\\x.dmp");
    EXPECT_EQ(base, L"D:\\dumps\\x");
    EXPECT_EQ(ReportBitmapPath(base), L"D:\\dumps\\x.bmp");
    EXPECT_EQ(ReportFullDumpPath(base), L"D:\\dumps\\x-full.dmp");
    EXPECT_EQ(ReportBasePath(L".dmp"), L"");
    EXPECT_EQ(ReportBasePath(L"dmp"), L"");  // too short: nothing to cut into
    EXPECT_EQ(ReportUploadUrl(L"http://127.0.0.1:8080"), L"http://127.0.0.1:8080/store-dump/");
}

// Checked against the platform's own splitting rather than restated.
TEST(ReporterLauncherTest, ArgumentsSurviveThePlatformsSplitting)
{
    const std::vector<std::wstring> arguments{L"plain",     L"",
                                              L"a b",       L"say \"hi\"",
                                              L"C:\\dir\\", L"a\\\\b",
                                              L"a\\\"b",    L"\\\\?\\Z:\\tmp\\",
                                              L"tab\there", L"\u0434\u0430\u043c\u043f \\"};
    const std::wstring line = MakeCommandLine(L"C:\\Program Files\\r.exe", arguments);
    int count = 0;
    LPWSTR* split = ::CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(split, nullptr);
    std::vector<std::wstring> back(split, split + count);
    ::LocalFree(split);
    ASSERT_EQ(back.size(), arguments.size() + 1);
    EXPECT_EQ(back[0], L"C:\\Program Files\\r.exe");
    EXPECT_EQ(std::vector<std::wstring>(back.begin() + 1, back.end()), arguments);
}

TEST(ReporterLauncherTest, HandleArgumentAndWindowEventName)
{
    EXPECT_EQ(FormatHandleArgument(0x1c4), L"1c4");
    EXPECT_EQ(ParseReadHandle(FormatHandleArgument(0xFFFFFFFE)), 0xFFFFFFFEu);
    // A 64-bit handle value survives whole.
    const ClientWord wide = ClientWord(0x12345678) << (sizeof(ClientWord) == 8 ? 16 : 0);
    EXPECT_EQ(ParseReadHandle(FormatHandleArgument(wide)), wide);
    EXPECT_EQ(MakeWindowEventName(L"Alpha", 4242), L"QV_CRASH_REPORT-WINDOW-EVENTAlpha4242");
}

}  // namespace
