#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CrashReporter/dump/DumpWriter.h"
#include "MinidumpFile.h"
#include "TempDirectory.h"
#include "TestPaths.h"

using namespace testing_support;

namespace {

constexpr std::uint32_t kAccessViolation = 0xC0000005;

// One crashed helper process, shared by every case: it sits in its exception handler.
class DumpWriterTest : public ::testing::Test {
protected:
    // Set up in SetUp, not SetUpTestSuite, so that a broken helper fails each case.
    void SetUp() override
    {
        if (child_ == nullptr) {
            StartChild();
        }
        ASSERT_NE(exceptionPointers_, 0u);
    }
    static void StartChild()
    {
        child_ = new ChildProcess;
        ASSERT_TRUE(child_->Start(ProgramPath(L"DumpTarget.exe"), {L"crash"}));
        std::string line;
        ASSERT_TRUE(child_->ReadLine(line));
        auto n = ParseNumbers(line);
        ASSERT_EQ(n.size(), 5u) << line;
        threadId_ = DWORD(n[0]);
        exceptionPointers_ = ClientWord(n[1]);
        clientBlock_ = ClientWord(n[4]);
    }
    static void TearDownTestSuite()
    {
        delete child_;
        child_ = nullptr;
    }

    bool Write(DumpWriter& writer, ClientWord exceptionPointers, ClientWord block,
               std::uint32_t type, std::wstring* path)
    {
        return writer.WriteDump(child_->Process(), child_->Id(), threadId_, exceptionPointers, block,
                                type, path);
    }

    static std::vector<std::uint8_t> ExpectedBlock()
    {
        std::vector<std::uint8_t> block(776);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = std::uint8_t(i * 7 + 3);
        }
        return block;
    }

    static ChildProcess* child_;
    static DWORD threadId_;
    static ClientWord exceptionPointers_;
    static ClientWord clientBlock_;
    TempDirectory dir_;
};

ChildProcess* DumpWriterTest::child_ = nullptr;
DWORD DumpWriterTest::threadId_ = 0;
ClientWord DumpWriterTest::exceptionPointers_ = 0;
ClientWord DumpWriterTest::clientBlock_ = 0;

std::wstring NameOf(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

TEST_F(DumpWriterTest, NormalDumpCarriesExceptionAndBothUserStreams)
{
    DumpWriter writer(dir_.Path());
    std::wstring path;
    ASSERT_TRUE(Write(writer, exceptionPointers_, clientBlock_, 0, &path));

    auto names = dir_.FileNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(path, dir_.Path() + L"\\" + names[0]);
    ASSERT_EQ(names[0].size(), 36u + 4u);
    EXPECT_EQ(names[0].substr(36), L".dmp");

    MinidumpFile dump;
    ASSERT_TRUE(dump.Load(path));
    MinidumpFile::ExceptionInfo exception{};
    ASSERT_TRUE(dump.Exception(exception));
    EXPECT_EQ(exception.threadId, threadId_);
    EXPECT_EQ(exception.code, kAccessViolation);

    EXPECT_EQ(dump.CountOf(kReporterInfoStreamType), 1u);
    EXPECT_EQ(dump.StreamBytes(kReporterInfoStreamType), std::vector<std::uint8_t>(12, 0));
    EXPECT_EQ(dump.StreamBytes(kClientBlockStreamType), ExpectedBlock());
}

TEST_F(DumpWriterTest, ZeroExceptionPointersGivesNoExceptionStream)
{
    DumpWriter writer(dir_.Path());
    std::wstring path;
    ASSERT_TRUE(Write(writer, 0, clientBlock_, 0, &path));
    MinidumpFile dump;
    ASSERT_TRUE(dump.Load(path));
    EXPECT_EQ(dump.CountOf(kExceptionStreamType), 0u);
    EXPECT_EQ(dump.StreamBytes(kClientBlockStreamType), ExpectedBlock());
}

TEST_F(DumpWriterTest, ZeroClientBlockLeavesOnlyTheReporterStream)
{
    DumpWriter writer(dir_.Path());
    std::wstring path;
    ASSERT_TRUE(Write(writer, exceptionPointers_, 0, 0, &path));
    MinidumpFile dump;
    ASSERT_TRUE(dump.Load(path));
    EXPECT_EQ(dump.CountOf(kReporterInfoStreamType), 1u);
    EXPECT_EQ(dump.CountOf(kClientBlockStreamType), 0u);
}

TEST_F(DumpWriterTest, FullMemoryBitWritesAPairUnderOneUuid)
{
    DumpWriter writer(dir_.Path());
    std::wstring path;
    ASSERT_TRUE(Write(writer, exceptionPointers_, clientBlock_, 0x2, &path));

    auto names = dir_.FileNames();
    ASSERT_EQ(names.size(), 2u);
    const std::wstring uuid = NameOf(path).substr(0, 36);
    EXPECT_EQ(NameOf(path), uuid + L".dmp");
    EXPECT_TRUE(FileExists(dir_.File(uuid + L"-full.dmp")));

    MinidumpFile normal, full;
    ASSERT_TRUE(normal.Load(path));
    ASSERT_TRUE(full.Load(dir_.File(uuid + L"-full.dmp")));
    EXPECT_GT(full.FileSize(), normal.FileSize());
    // Only the full dump holds the whole address space.
    EXPECT_EQ(normal.CountOf(kMemory64ListStreamType), 0u);
    EXPECT_EQ(full.CountOf(kMemory64ListStreamType), 1u);
    for (const MinidumpFile* dump : {&normal, &full}) {
        MinidumpFile::ExceptionInfo exception{};
        ASSERT_TRUE(dump->Exception(exception));
        EXPECT_EQ(exception.threadId, threadId_);
        EXPECT_EQ(dump->StreamBytes(kClientBlockStreamType), ExpectedBlock());
    }
}

TEST_F(DumpWriterTest, TrailingBackslashInTheDirectoryIsAccepted)
{
    DumpWriter writer(dir_.Path() + L"\\");
    std::wstring path;
    ASSERT_TRUE(Write(writer, 0, 0, 0, &path));
    EXPECT_NE(path.find(L"\\\\"), std::wstring::npos);
    EXPECT_EQ(dir_.FileNames().size(), 1u);
}

TEST_F(DumpWriterTest, MissingDirectoryFailsWithoutCreatingAnything)
{
    DumpWriter writer(dir_.File(L"absent"));
    std::wstring path = L"untouched";
    EXPECT_FALSE(Write(writer, exceptionPointers_, clientBlock_, 0, &path));
    EXPECT_EQ(path, L"untouched");
    EXPECT_FALSE(FileExists(dir_.File(L"absent")));
}

TEST_F(DumpWriterTest, UnreadableClientBlockLeavesEmptyFiles)
{
    DumpWriter writer(dir_.Path());
    std::wstring path = L"untouched";
    // The first page of the address space is never mapped.
    EXPECT_FALSE(Write(writer, exceptionPointers_, 0x10, 0, &path));
    EXPECT_EQ(path, L"untouched");
    auto names = dir_.FileNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(FileSize(dir_.File(names[0])), 0);

    // The same for a pair: both files stay, empty.
    TempDirectory pairDir;
    DumpWriter pairWriter(pairDir.Path());
    EXPECT_FALSE(pairWriter.WriteDump(child_->Process(), child_->Id(), threadId_, 0, 0x10,
                                      0x2, &path));
    names = pairDir.FileNames();
    ASSERT_EQ(names.size(), 2u);
    for (const auto& name : names) {
        EXPECT_EQ(FileSize(pairDir.File(name)), 0) << std::string(name.begin(), name.end());
    }
}

TEST_F(DumpWriterTest, ConcurrentCallsWriteDistinctCompleteFiles)
{
    DumpWriter writer(dir_.Path());
    constexpr int kThreads = 4;
    constexpr int kDumpsPerThread = 3;
    std::vector<std::wstring> paths(kThreads * kDumpsPerThread);
    std::vector<int> results(paths.size(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kDumpsPerThread; ++i) {
                int slot = t * kDumpsPerThread + i;
                results[slot] = Write(writer, exceptionPointers_, clientBlock_, 0, &paths[slot]);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::wstring> distinct(paths.begin(), paths.end());
    EXPECT_EQ(distinct.size(), paths.size());
    EXPECT_EQ(dir_.FileNames().size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_TRUE(results[i]);
        MinidumpFile dump;
        ASSERT_TRUE(dump.Load(paths[i]));
        EXPECT_EQ(dump.StreamBytes(kClientBlockStreamType), ExpectedBlock());
    }
}

}  // namespace
