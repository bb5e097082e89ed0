#include <gtest/gtest.h>

#include <vector>

#include "CrashReporter/package/ArchiveWriter.h"
#include "CrashReporter/package/ReportArchive.h"
#include "PackageTestFiles.h"
#include "TempDirectory.h"
#include "Win32/UniqueHandle.h"

using namespace testing_support;
using package_testing::ScopedCurrentDirectory;

namespace {

const HWND kSomeWindow = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x1234));

class ReportArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(::CreateDirectoryW(dir_.File(L"dumps").c_str(), nullptr));
        const std::vector<unsigned char> bytes(40000, 0x5A);
        ASSERT_TRUE(WriteWholeFile(dump_, bytes.data(), bytes.size()));
    }

    TempDirectory dir_;
    ScopedCurrentDirectory current_{dir_.Path()};
    const std::wstring dump_ = dir_.File(L"dumps\\abc.dmp");
};

TEST_F(ReportArchiveTest, WriterWorksOnlyOnItsOneOpenArchive)
{
    ArchiveWriter writer;
    std::wstring path;
    EXPECT_FALSE(writer.AddFile(dump_));
    EXPECT_FALSE(writer.Close());

    ASSERT_TRUE(writer.Open(L"dumps", L"abc.zip", path));
    EXPECT_EQ(path, dir_.File(L"dumps\\abc.zip"));
    std::wstring second = L"untouched";
    EXPECT_FALSE(writer.Open(L"", L"other.zip", second));
    EXPECT_EQ(second, L"untouched");
    EXPECT_FALSE(FileExists(dir_.File(L"other.zip")));

    EXPECT_TRUE(writer.AddFile(dump_));
    EXPECT_FALSE(writer.AddFile(dir_.File(L"dumps\\absent.dmp")));
    EXPECT_TRUE(writer.Close());
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_FALSE(writer.Close());
    EXPECT_FALSE(writer.AddFile(dump_));
    EXPECT_TRUE(FileExists(path));
}

TEST_F(ReportArchiveTest, BuildNamesTheArchiveAfterTheDumpInTheDumpDirectory)
{
    std::wstring archive;
    ASSERT_TRUE(ReportArchive(L"dumps", nullptr, {}).Build(dump_, archive, L""));
    EXPECT_EQ(archive, dir_.File(L"dumps\\abc.zip"));
    EXPECT_TRUE(FileExists(archive));

    // An absolute dump directory is not glued behind the current directory.
    TempDirectory elsewhere;
    ASSERT_TRUE(ReportArchive(elsewhere.Path(), nullptr, {}).Build(dump_, archive, L""));
    EXPECT_EQ(archive, elsewhere.File(L"abc.zip"));
    EXPECT_TRUE(FileExists(archive));
}

TEST_F(ReportArchiveTest, MissingFolderFailsButReportsTheComposedPath)
{
    std::wstring archive;
    EXPECT_FALSE(ReportArchive(L"absent", nullptr, {}).Build(dump_, archive, L""));
    EXPECT_EQ(archive, dir_.File(L"absent\\abc.zip"));
    EXPECT_FALSE(FileExists(dir_.File(L"absent")));
}

TEST_F(ReportArchiveTest, MissingSourceDumpFailsAndLeavesTheClosedArchive)
{
    std::wstring archive;
    EXPECT_FALSE(
        ReportArchive(L"dumps", nullptr, {}).Build(dir_.File(L"dumps\\gone.dmp"), archive, L""));
    EXPECT_EQ(archive, dir_.File(L"dumps\\gone.zip"));
    // An empty archive: end-of-central-directory record and the comment.
    EXPECT_EQ(FileSize(archive), 22 + static_cast<long long>(sizeof(kArchiveComment) - 1));
}

TEST_F(ReportArchiveTest, MissingBitmapAndExtraFilesAreLeftOut)
{
    std::wstring archive;
    EXPECT_TRUE(ReportArchive(L"dumps", kSomeWindow, {L"absent.log", L"nothing\\*.txt"})
                    .Build(dump_, archive, dir_.File(L"dumps\\abc.bmp")));
    EXPECT_TRUE(FileExists(archive));
}

TEST_F(ReportArchiveTest, ArchivePathTheAnsiCodePageCannotNameIsRefused)
{
    // In most ANSI code pages "a with macron" has no place, but "a" is its look-alike: the
    // archive must not silently land in a neighbouring folder.
    const std::wstring exotic = L"dump\x0101";
    BOOL usedDefault = FALSE;
    char ansi[16];
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, exotic.c_str(), -1, ansi, sizeof(ansi),
                          nullptr, &usedDefault);
    if (!usedDefault) {
        GTEST_SKIP() << "this ANSI code page holds the character";
    }
    ASSERT_TRUE(::CreateDirectoryW(dir_.File(exotic).c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(dir_.File(L"dumpa").c_str(), nullptr));

    std::wstring archive;
    EXPECT_FALSE(ReportArchive(exotic, nullptr, {}).Build(dump_, archive, L""));
    EXPECT_EQ(archive, dir_.File(exotic + L"\\abc.zip"));
    EXPECT_FALSE(FileExists(dir_.File(L"dumpa\\abc.zip")));
    EXPECT_FALSE(FileExists(archive));
}

bool ReadFails(const std::wstring& path, DWORD offset)
{
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    char byte;
    DWORD read = 0;
    return file && ::SetFilePointer(file.get(), LONG(offset), nullptr, FILE_BEGIN) == offset &&
           !::ReadFile(file.get(), &byte, 1, &read, nullptr);
}

TEST_F(ReportArchiveTest, ReadErrorInTheMiddleOfAFileIsNotCountedAsAdded)
{
    // A range locked through another handle cannot be read: the reads before it succeed,
    // the one reaching into it fails. Where locks do not stop reads, a file that cannot be
    // read at all stands in for it. The large file fails after several whole blocks have
    // gone to the compression threads.
    struct Case {
        DWORD size;
        DWORD lockedFrom;
    };
    for (const Case c : {Case{100000, 20000}, Case{2 << 20, (1 << 20) + 5000}}) {
        SCOPED_TRACE(c.size);
        std::wstring unreadable = dir_.File(L"dumps\\locked.dmp");
        const std::vector<unsigned char> bytes(c.size, 0x11);
        ASSERT_TRUE(WriteWholeFile(unreadable, bytes.data(), bytes.size()));
        win32::UniqueHandle holder(::CreateFileW(unreadable.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        OVERLAPPED range{};
        range.Offset = c.lockedFrom;
        ASSERT_TRUE(::LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                                 0, 10000, 0, &range));
        if (!ReadFails(unreadable, c.lockedFrom)) {
            unreadable = L"Z:\\proc\\self\\mem";
            if (!ReadFails(unreadable, 0)) {
                GTEST_SKIP() << "no way to make a read fail here";
            }
        }

        ArchiveWriter writer;
        std::wstring path;
        ASSERT_TRUE(writer.Open(L"dumps", L"w.zip", path));
        EXPECT_FALSE(writer.AddFile(unreadable));
        EXPECT_TRUE(writer.AddFile(dump_));  // the archive is still usable
        EXPECT_TRUE(writer.Close());

        std::wstring archive;
        EXPECT_FALSE(ReportArchive(L"dumps", nullptr, {}).Build(unreadable, archive, L""));
        ::UnlockFileEx(holder.get(), 0, 10000, 0, &range);
    }
}

}  // namespace
