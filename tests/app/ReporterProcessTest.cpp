// What the reporter says on the debugger channel, and when it ends, against its lifetime
// rules: the quick cases.
#include "ReporterFixture.h"

#include "CrashClient/CrashClient.h"
#include "CrashProtocol/PipeMessage.h"

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

// A client built for the other width cannot be served: its registration fails at once, the
// reporter says why on the debugger channel and serves the next client.
TEST_F(ReporterProcessTest, RegistrationOfTheOtherWidthIsRefusedAndNamed)
{
    CreateSpawnEvent();
    ASSERT_TRUE(StartReporter(SixArguments()));
    ASSERT_TRUE(SpawnSignalled());
    ASSERT_TRUE(reporter_.WaitForMessage(kStarting, kPromptMs));
    {
        win32::UniqueHandle pipe = ConnectToCrashPipe(PipeName(), kPromptMs);
        ASSERT_TRUE(pipe);
        std::uint8_t registration[kPipeMessageSize64] = {1};  // type Register, the rest zero
        DWORD n = 0;
        ASSERT_TRUE(::WriteFile(pipe.get(), registration, DWORD(kOtherWidthPipeMessageSize), &n,
                                nullptr));
        std::uint8_t reply[kPipeMessageSize64] = {};
        EXPECT_FALSE(::ReadFile(pipe.get(), reply, sizeof(reply), &n, nullptr) && n > 0);
    }
    const std::wstring line = OtherWidthRegistrationText(kOtherWidthPipeMessageSize);
    ASSERT_TRUE(reporter_.WaitForMessage(std::string(line.begin(), line.end()), kPromptMs));

    ChildProcess client;
    Connect(client);
    ASSERT_NO_FATAL_FAILURE(EndClientAndExpectPromptExit(client));
    EXPECT_EQ(reporter_.Texts(),
              (Texts{kStarting, std::string(line.begin(), line.end()), kDisconnected, kNoClient}));
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
    // As wide as a pointer: four bytes from an x86 client, eight from an x64 one.
    const unsigned char handle[sizeof(ClientWord)] = {0x34, 0x12};
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipeWrite_.get(), handle, sizeof(handle), &written, nullptr));
    ASSERT_TRUE(::SetEvent(windowEvent_.get()));

    ChildProcess client;
    Connect(client);
    ASSERT_NO_FATAL_FAILURE(EndClientAndExpectPromptExit(client));
    // The reporter consumed exactly the handle's bytes.
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
