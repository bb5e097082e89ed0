#include <gtest/gtest.h>

#include "CrashReporter/package/ArchiveNaming.h"

namespace {

TEST(ArchiveNaming, ArchiveIsNamedAfterTheDump)
{
    EXPECT_EQ(ArchiveNameSourceFor(L"C:\\r\\dumps\\abc.dmp"), L"C:\\r\\dumps\\abc.zip");
    EXPECT_EQ(ArchiveNameSourceFor(L"abc-full.dmp"), L"abc-full.zip");
    EXPECT_EQ(ArchiveNameSourceFor(L"ab"), L"zip");
}

TEST(ArchiveNaming, ArchivePathFollowsTheDumpDirectory)
{
    const std::wstring name = L"C:\\r\\dumps\\abc.zip";
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"dumps", name), L"C:\\r\\dumps\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"", name), L"C:\\r\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"dumps\\", name), L"C:\\r\\dumps\\\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"a\\b", L"abc.zip"), L"C:\\r\\a\\b\\abc.zip");
    // Only the backslash separates the name here.
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"d", L"x/abc.zip"), L"C:\\r\\d\\x/abc.zip");
}

TEST(ArchiveNaming, AbsoluteDumpDirectoryIsUsedAsItIs)
{
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"D:\\dumps", L"abc.zip"), L"D:\\dumps\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"d:/dumps", L"abc.zip"), L"d:/dumps\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"C:\\r", L"\\\\host\\share", L"abc.zip"),
              L"\\\\host\\share\\abc.zip");
    EXPECT_EQ(ComposeArchivePath(L"", L"Z:\\", L"abc.zip"), L"Z:\\\\abc.zip");

    EXPECT_TRUE(IsAbsoluteDirectory(L"C:\\"));
    EXPECT_TRUE(IsAbsoluteDirectory(L"\\\\?\\C:\\d"));
    EXPECT_FALSE(IsAbsoluteDirectory(L"C:"));       // drive-relative
    EXPECT_FALSE(IsAbsoluteDirectory(L"C:dumps"));  // drive-relative
    EXPECT_FALSE(IsAbsoluteDirectory(L"\\dumps"));  // rooted on the current drive
    EXPECT_FALSE(IsAbsoluteDirectory(L"1:\\dumps"));
    EXPECT_FALSE(IsAbsoluteDirectory(L""));
}

TEST(ArchiveNaming, NamesAndFolderParts)
{
    EXPECT_EQ(TextAfterLastBackslash(L"C:\\a\\b.dmp"), L"b.dmp");
    EXPECT_EQ(TextAfterLastBackslash(L"b.dmp"), L"b.dmp");
    EXPECT_EQ(TextAfterLastBackslash(L"a/b.dmp"), L"a/b.dmp");
    EXPECT_EQ(FileNameOf(L"logs\\a.log"), L"a.log");
    EXPECT_EQ(FileNameOf(L"logs/a.log"), L"a.log");
    EXPECT_EQ(FileNameOf(L"a.log"), L"a.log");
    EXPECT_EQ(FileNameOf(L"logs\\"), L"");
    EXPECT_EQ(FolderPartOf(L"logs\\*.log"), L"logs\\");
    EXPECT_EQ(FolderPartOf(L"C:\\x\\logs/*.log"), L"C:\\x\\logs/");
    EXPECT_EQ(FolderPartOf(L"*.log"), L"");
}

TEST(ArchiveNaming, DosDateGoesHighAndDosTimeLow)
{
    // 14:30:10 on 2 March 2015.
    EXPECT_EQ(PackZipDosDate(0x4662, 0x73C5), 0x466273C5u);
    EXPECT_EQ(PackZipDosDate(kEarliestDosDate, kEarliestDosTime), 0x00210000u);
}

// Two bytes for every character, as a stand-in for a code page.
std::size_t TwoBytesEach(const std::wstring& s)
{
    return 2 * s.size();
}

TEST(ArchiveNaming, LongNamesAreShortenedKeepingTheExtension)
{
    EXPECT_EQ(ShortenToFit(L"abcdef.log", 20, TwoBytesEach), L"abcdef.log");
    EXPECT_EQ(ShortenToFit(L"abcdef.log", 19, TwoBytesEach), L"abcde.log");
    EXPECT_EQ(ShortenToFit(L"abcdef.log", 10, TwoBytesEach), L"a.log");
    // The extension alone is too long: the whole name is cut.
    EXPECT_EQ(ShortenToFit(L"abcdef.log", 8, TwoBytesEach), L"abcd");
    EXPECT_EQ(ShortenToFit(L".profile", 8, TwoBytesEach), L".pro");
    EXPECT_EQ(ShortenToFit(L"noextension", 6, TwoBytesEach), L"noe");
    EXPECT_EQ(ShortenToFit(L"abc", 1, TwoBytesEach), L"");
}

TEST(ArchiveNaming, ShorteningNeverSplitsASurrogatePair)
{
    const std::wstring pair = L"\xD83D\xDE00";  // one character outside the BMP
    const std::wstring name = L"a" + pair + pair + L".txt";
    EXPECT_EQ(ShortenToFit(name, 2 * 7, TwoBytesEach), L"a" + pair + L".txt");
    EXPECT_EQ(ShortenToFit(name, 2 * 6, TwoBytesEach), L"a.txt");
    EXPECT_EQ(ShortenToFit(pair + pair, 2 * 3, TwoBytesEach), pair);
}

}  // namespace
