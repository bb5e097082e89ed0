// Trimming the reports left in the dump folder: which files count as the reporter's, which
// reports go, and a real folder with a foreign file, a report in the making and an open file.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CrashClient/LocalReports.h"
#include "TempDirectory.h"
#include "Win32/UniqueHandle.h"

using namespace testing_support;

namespace {

std::wstring Id(int n)
{
    wchar_t text[40];
    std::swprintf(text, 40, L"0000%04d-aaaa-bbbb-CCCC-0123456789ab", n);
    return text;
}

TEST(LocalReportsTest, OnlyTheReportersOwnNamesBelongToAReport)
{
    const std::wstring id = Id(1);
    EXPECT_EQ(LocalReportIdOf(id + L".zip"), id);
    EXPECT_EQ(LocalReportIdOf(id + L".dmp"), id);
    EXPECT_EQ(LocalReportIdOf(id + L"-full.dmp"), id);
    EXPECT_EQ(LocalReportIdOf(id + L".bmp"), id);
    for (const std::wstring& foreign :
         {id + L".txt", id + L".zip.bak", L"x" + id + L".zip", id.substr(1) + L".zip",
          std::wstring(L"0000000g-aaaa-bbbb-cccc-0123456789ab.zip"), std::wstring(L"notes.zip"),
          std::wstring(L".zip")}) {
        EXPECT_EQ(LocalReportIdOf(foreign), L"") << foreign.c_str();
    }
}

TEST(LocalReportsTest, OldestFinishedReportsGoWholeBeyondEitherBound)
{
    std::vector<LocalReportFile> files;
    for (int n = 1; n <= 5; ++n) {  // report n was written at time n, 100 bytes an archive
        files.push_back({Id(n) + L".zip", 100, std::uint64_t(n)});
    }
    files.push_back({Id(1) + L".dmp", 1000, 1});  // a failed upload left its dump too
    files.push_back({Id(6) + L".dmp", 5000, 9});  // the newest, in the making: no archive yet
    files.push_back({L"user-notes.txt", 9999, 0});

    auto removed = [&](LocalReportLimits limits) {
        auto names = LocalReportFilesToRemove(files, limits);
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_TRUE(removed({}).empty());
    // Two reports: the one in the making counts, so the newest finished one stays with it.
    EXPECT_EQ(removed({2, 0}), (std::vector<std::wstring>{Id(1) + L".dmp", Id(1) + L".zip",
                                                          Id(2) + L".zip", Id(3) + L".zip",
                                                          Id(4) + L".zip"}));
    // 5,300 bytes: the report in the making (5,000) and three archives.
    EXPECT_EQ(removed({0, 5300}), (std::vector<std::wstring>{Id(1) + L".dmp", Id(1) + L".zip",
                                                             Id(2) + L".zip"}));
    EXPECT_EQ(removed({10, 0}), std::vector<std::wstring>{});
}

TEST(LocalReportsTest, ARealFolderKeepsTheNewestAndEverythingNotOurs)
{
    TempDirectory folder;
    auto write = [&](const std::wstring& name, int age) {
        win32::UniqueHandle file(::CreateFileW(folder.File(name).c_str(), GENERIC_WRITE, 0,
                                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), "report", 6, &written, nullptr));
        // Older files have older times, whatever the clock's resolution.
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER time{{now.dwLowDateTime, now.dwHighDateTime}};
        time.QuadPart -= ULONGLONG(age) * 10000000;
        const FILETIME stamp{time.LowPart, time.HighPart};
        ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &stamp));
    };
    constexpr int kKeep = 2;
    for (int n = 0; n < kKeep + 3; ++n) {
        write(Id(n) + L".zip", 100 - n);  // report 0 is the oldest
    }
    write(Id(0) + L".bmp", 100);
    write(Id(99) + L".dmp", 200);  // old, but no archive: never removed
    write(L"readme.txt", 300);
    // Another process still uploading the second oldest holds it open without delete sharing.
    win32::UniqueHandle uploading(::CreateFileW(folder.File(Id(1) + L".zip").c_str(),
                                                GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(uploading);

    EXPECT_EQ(TrimLocalReports(folder.Path(), LocalReportLimits{kKeep, 0}), 3u);
    std::vector<std::wstring> left{Id(1) + L".zip", Id(3) + L".zip", Id(4) + L".zip",
                                   Id(99) + L".dmp", L"readme.txt"};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(folder.FileNames(), left);

    uploading.reset();  // the next start takes it
    EXPECT_EQ(TrimLocalReports(folder.Path(), LocalReportLimits{kKeep, 0}), 1u);
    EXPECT_EQ(TrimLocalReports(folder.Path() + L"\\missing", LocalReportLimits{kKeep, 0}), 0u);
}

TEST(LocalReportsTest, TheFolderIsBesideTheReporterUnlessAbsolute)
{
    EXPECT_EQ(LocalReportFolder(L"C:\\App\\reporter.exe", L"dumps"), L"C:\\App\\dumps");
    EXPECT_EQ(LocalReportFolder(L"C:\\App\\reporter.exe", L"D:\\crashes"), L"D:\\crashes");
    EXPECT_EQ(LocalReportFolder(L"C:\\App\\reporter.exe", L"\\\\server\\share"),
              L"\\\\server\\share");
}

}  // namespace
