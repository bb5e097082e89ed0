#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <vector>

#include "CrashReporter/package/ListMatchingFiles.h"
#include "PackageTestFiles.h"
#include "TempDirectory.h"

using namespace testing_support;
using package_testing::ScopedCurrentDirectory;

namespace {

std::vector<std::wstring> Sorted(std::vector<std::wstring> paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

class ListMatchingFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(::CreateDirectoryW(dir_.File(L"logs").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(dir_.File(L"logs\\folder.log").c_str(), nullptr));
        for (const wchar_t* name :
             {L"logs\\a.log", L"logs\\b.log", L"logs\\hidden.log", L"logs\\readonly.log",
              L"logs\\system.log", L"logs\\c.txt", L"top.txt"}) {
            ASSERT_TRUE(WriteWholeFile(dir_.File(name), "x", 1));
        }
        ASSERT_TRUE(
            ::SetFileAttributesW(dir_.File(L"logs\\hidden.log").c_str(), FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(::SetFileAttributesW(dir_.File(L"logs\\readonly.log").c_str(),
                                         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
        ASSERT_TRUE(
            ::SetFileAttributesW(dir_.File(L"logs\\system.log").c_str(), FILE_ATTRIBUTE_SYSTEM));
    }

    TempDirectory dir_;
    ScopedCurrentDirectory current_{dir_.Path()};
};

TEST_F(ListMatchingFilesTest, WildcardInARelativeFolderGivesFolderPlusNameOfRegularFiles)
{
    // Folders and system files are skipped; hidden and read-only files are taken.
    const std::vector<std::wstring> expected = {L"logs\\a.log", L"logs\\b.log", L"logs\\hidden.log",
                                                L"logs\\readonly.log"};
    EXPECT_EQ(Sorted(ListMatchingFiles(L"logs\\*.log")), expected);
    EXPECT_EQ(Sorted(ListMatchingFiles(L"logs\\?.log")),
              (std::vector<std::wstring>{L"logs\\a.log", L"logs\\b.log"}));
}

TEST_F(ListMatchingFilesTest, PlainNamesAbsolutePatternsAndForwardSlashes)
{
    EXPECT_EQ(ListMatchingFiles(L"logs\\c.txt"), std::vector<std::wstring>{L"logs\\c.txt"});
    EXPECT_EQ(ListMatchingFiles(L"*.txt"), std::vector<std::wstring>{L"top.txt"});
    EXPECT_EQ(ListMatchingFiles(dir_.File(L"logs\\c.*")),
              std::vector<std::wstring>{dir_.File(L"logs\\c.txt")});
    // The folder part must keep the separator it was given, or the file would be looked up
    // in the current directory.
    EXPECT_EQ(ListMatchingFiles(L"logs/c.txt"), std::vector<std::wstring>{L"logs/c.txt"});
}

TEST_F(ListMatchingFilesTest, FoldersAndPatternsWithoutMatchesGiveNothing)
{
    EXPECT_TRUE(ListMatchingFiles(L"logs").empty());
    EXPECT_TRUE(ListMatchingFiles(L"logs\\folder.log").empty());
    EXPECT_TRUE(ListMatchingFiles(L"logs\\*.none").empty());
    EXPECT_TRUE(ListMatchingFiles(L"absent\\*.log").empty());
    EXPECT_TRUE(ListMatchingFiles(L"logs\\").empty());
    EXPECT_TRUE(ListMatchingFiles(L"").empty());
}

}  // namespace
