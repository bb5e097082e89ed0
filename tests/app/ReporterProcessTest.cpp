// What the reporter says on the debugger channel, and when it ends, against its lifetime
// rules: the quick cases.
#include "ReporterFixture.h"

using namespace app_testing;

namespace {

TEST_F(ReporterProcessTest, FewerThanSixArgumentsGiveTheUsageAndExitCodeMinusOne)
{
    CreateSpawnEvent();
    CreateWindowEvent();
    auto arguments = SixArguments();
    for (std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(5)}) {
        SCOPED_TRACE(count);
        DebuggedProcess reporter;
        ASSERT_TRUE(reporter.Start(testing_support::ProgramPath(L"RIZurarUzedudor.exe"),
                                   {arguments.begin(), arguments.begin() + count}));
        ASSERT_TRUE(reporter.WaitForExit(kPromptMs));
        EXPECT_EQ(reporter.ExitCode(), 0xFFFFFFFFu);
        EXPECT_EQ(reporter.Texts(), Texts{kUsage});
    }
    // Nothing was opened or signalled, and no pipe was ever made.
    EXPECT_FALSE(SpawnSignalled(0));
    EXPECT_FALSE(PipeExists(PipeName()));
}

TEST_F(ReporterProcessTest, MissingSpawnEventCannotStartAndExitsWithZero)
{
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(reporter_.WaitForExit(kPromptMs));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), Texts{kCannotStart});
}

TEST_F(ReporterProcessTest, ClientThatConnectsAndLeavesEndsTheRunAtOnce)
{
    CreateSpawnEvent();
    // No window event: the HWNDThread ends at once, so nothing holds the exit back.
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    ASSERT_TRUE(reporter_.WaitForMessage(kStarting, kPromptMs));
    EXPECT_TRUE(PipeExists(PipeName()));

    ChildProcess client;
    Connect(client);
    EXPECT_TRUE(reporter_.IsRunning());
    ASSERT_NO_FATAL_FAILURE(EndClientAndExpectPromptExit(client));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    // Left within the first 16 seconds: the first wait saw the event, not a connected client.
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kDisconnected, kNoClient}));
}

TEST_F(ReporterProcessTest, SecondClientIsReportedOnceAndEitherExitEndsTheRun)
{
    CreateSpawnEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    ChildProcess first;
    Connect(first);
    ChildProcess second;
    Connect(second);
    ASSERT_TRUE(reporter_.WaitForMessage(kTwoClients, kPromptMs));

    EndClient(second);
    ASSERT_TRUE(reporter_.WaitForExit(kPromptMs));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kTwoClients, kDisconnected, kNoClient}));
    // The first client is still there, and sees its reporter gone.
    EXPECT_TRUE(first.WriteLine("dump"));
    std::string line;
    ASSERT_TRUE(first.ReadLine(line));
    EXPECT_EQ(line.rfind("dump ReporterGone", 0), 0u) << line;
}

TEST_F(ReporterProcessTest, HandedOverWindowEndsTheHandleThreadAtOnce)
{
    CreateSpawnEvent();
    CreateWindowEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    const unsigned char handle[4] = {0x34, 0x12, 0x00, 0x00};
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipeWrite_.get(), handle, 4, &written, nullptr));
    ASSERT_TRUE(::SetEvent(windowEvent_.get()));

    ChildProcess client;
    Connect(client);
    ASSERT_NO_FATAL_FAILURE(EndClientAndExpectPromptExit(client));
    // The reporter consumed exactly the four bytes.
    DWORD available = 1;
    ::PeekNamedPipe(pipeRead_.get(), nullptr, 0, nullptr, &available, nullptr);
    EXPECT_EQ(available, 0u);
}

TEST_F(ReporterProcessTest, ReadHandleThatIsNoPipeIsNeitherReadNorClosed)
{
    CreateSpawnEvent();
    CreateWindowEvent();
    auto arguments = SixArguments();
    arguments[4] = L"zz";  // no hexadecimal digits: 0
    ASSERT_TRUE(StartReporter(arguments));
    ASSERT_TRUE(SpawnSignalled());
    ASSERT_TRUE(::SetEvent(windowEvent_.get()));
    ChildProcess client;
    Connect(client);
    EndClient(client);
    ASSERT_TRUE(reporter_.WaitForExit(kPromptMs));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kDisconnected, kNoClient}));
}

}  // namespace
