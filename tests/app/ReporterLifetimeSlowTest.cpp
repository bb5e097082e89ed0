// The 16-second and 30-second marks of the reporter's lifetime.
#include "ReporterFixture.h"

using namespace app_testing;

namespace {

TEST_F(ReporterProcessTest, NoClientEndsTheRunAfterSixteenSeconds)
{
    CreateSpawnEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(reporter_.WaitForExit(40000));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kNoClient}));
    EXPECT_GE(SecondsToExit(), 15.5);
    EXPECT_LT(SecondsToExit(), 16.0 + kPromptMs / 1000.0);
}

TEST_F(ReporterProcessTest, WindowEventNeverSignalledHoldsTheExitUntilThirtySeconds)
{
    CreateSpawnEvent();
    CreateWindowEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(reporter_.WaitForExit(60000));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    const auto messages = reporter_.Messages();
    ASSERT_EQ(reporter_.Texts(), (Texts{kStarting, kNoClient}));
    const double noClientAt = double(messages[1].tick - reporter_.StartTick()) / 1000.0;
    EXPECT_GE(noClientAt, 15.5);
    EXPECT_LT(noClientAt, 16.0 + kPromptMs / 1000.0);
    EXPECT_GE(SecondsToExit(), 29.5);
    EXPECT_LT(SecondsToExit(), 30.0 + kPromptMs / 1000.0);
}

// The client signals the window event but never writes its handle, and keeps its write end
// open: the window thread gives up within its 30 seconds, so the run still ends.
TEST_F(ReporterProcessTest, WindowEventSignalledWithoutTheHandleHoldsTheExitOnlyUntilThirtySeconds)
{
    CreateSpawnEvent();
    CreateWindowEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    ASSERT_TRUE(::SetEvent(windowEvent_.get()));
    ChildProcess client;
    Connect(client);
    EndClient(client);
    ASSERT_TRUE(reporter_.WaitForExit(60000));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kDisconnected, kNoClient}));
    EXPECT_GE(SecondsToExit(), 29.5);
    EXPECT_LT(SecondsToExit(), 30.0 + kPromptMs / 1000.0);
}

TEST_F(ReporterProcessTest, ClientConnectedAtSixteenSecondsKeepsTheReporterUntilItLeaves)
{
    CreateSpawnEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    ChildProcess client;
    Connect(client);
    ::Sleep(18000);
    EXPECT_TRUE(reporter_.IsRunning());
    ASSERT_NO_FATAL_FAILURE(EndClientAndExpectPromptExit(client));
    EXPECT_EQ(reporter_.ExitCode(), 0u);
    EXPECT_EQ(reporter_.Texts(), (Texts{kStarting, kDisconnected}));
}

}  // namespace
