#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CrashClient/CrashClient.h"
#include "CrashProtocol/Annotations.h"
#include "CrashReporter/dump/DumpWriter.h"
#include "MinidumpFile.h"
#include "PipeServerFixture.h"
#include "TempDirectory.h"
#include "TestPaths.h"

using namespace testing_support;

namespace {

constexpr DWORD kHangUpPollMs = 50;

// True once the server has hung up on our end of the pipe, within timeoutMs: a test that
// waits for the cut-off fails in seconds, rather than blocking in a read, when it never comes.
bool ServerHangsUpWithin(HANDLE pipe, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return true;
        }
        ::Sleep(kHangUpPollMs);
    } while (::GetTickCount64() < deadline);
    return false;
}

// The working set of this process, in bytes.
std::size_t WorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))
               ? counters.WorkingSetSize
               : 0;
}

class CrashPipeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pipeName_ = UniquePipeName();
        server_ = MakeServer();
        ASSERT_TRUE(server_->Start());
    }

    std::unique_ptr<CrashPipeServer> MakeServer()
    {
        return std::make_unique<CrashPipeServer>(pipeName_, &CallbackRecorder::OnConnected,
                                                 &recorder_, &CallbackRecorder::OnDumpRequested,
                                                 &recorder_, &CallbackRecorder::OnExited,
                                                 &recorder_, &dumpDirectory_);
    }

    // Starts a PipeClient and returns it once it has said whether it registered.
    std::unique_ptr<ChildProcess> StartClient(const std::wstring& mode = L"normal",
                                              const std::wstring& dumpType = L"0",
                                              const std::wstring& annotations = L"0")
    {
        auto client = std::make_unique<ChildProcess>();
        EXPECT_TRUE(client->Start(ProgramPath(L"PipeClient.exe"),
                                  {pipeName_, dumpType, mode, annotations}));
        std::string line;
        EXPECT_TRUE(client->ReadLine(line));
        lastClientLine_ = line;
        return client;
    }

    std::string Ask(ChildProcess& client, const std::string& command, DWORD timeoutMs = 60000)
    {
        std::string line;
        EXPECT_TRUE(client.WriteLine(command));
        EXPECT_TRUE(client.ReadLine(line, timeoutMs)) << command;
        return line;
    }

    // Talks the protocol by hand from this process: sends the bytes and reports whether a
    // reply came back before the server hung up.
    bool RawRegistration(const void* bytes, DWORD size)
    {
        win32::UniqueHandle pipe = ConnectToCrashPipe(pipeName_, 5000);
        EXPECT_TRUE(pipe);
        DWORD n = 0;
        ::WriteFile(pipe.get(), bytes, size, &n, nullptr);
        PipeMessage reply{};
        return ::ReadFile(pipe.get(), &reply, sizeof(reply), &n, nullptr) && n == sizeof(reply);
    }

    // The state machine moves on after the callback returns: poll for where it settles.
    bool WaitForState(PipeServerState wanted)
    {
        for (int i = 0; i < 500 && server_->State() != wanted; ++i) {
            ::Sleep(10);
        }
        return server_->State() == wanted;
    }

    PipeMessage OwnRegistration() { return ownClient_.MakeRegistration(0); }

    std::wstring pipeName_;
    TempDirectory dumps_;
    std::wstring dumpDirectory_ = dumps_.Path();
    CallbackRecorder recorder_;
    std::unique_ptr<CrashPipeServer> server_;
    CrashClient ownClient_;
    std::string lastClientLine_;
};

TEST_F(CrashPipeServerTest, HandshakeFromAnotherProcessHandsOverThreeHandles)
{
    auto client = StartClient();
    EXPECT_EQ(lastClientLine_, "registered " + std::to_string(::GetCurrentProcessId()));
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    EXPECT_EQ(access, "access 0x2 0x100002 0x100000");
    ASSERT_TRUE(recorder_.WaitConnected(1));
    EXPECT_NE(recorder_.Connected()[0], nullptr);
    EXPECT_EQ(recorder_.Connected()[0]->processId, client->Id());

    EXPECT_EQ(Ask(*client, "alive"), "alive 1");
    server_.reset();  // shutting down releases the server-alive mutex
    EXPECT_EQ(Ask(*client, "alive"), "alive 0");
    EXPECT_TRUE(recorder_.Exited().empty());
}

TEST_F(CrashPipeServerTest, StartsOnlyOnceAndNeverOnAnExistingPipe)
{
    EXPECT_FALSE(server_->Start());
    auto twin = MakeServer();
    EXPECT_FALSE(twin->Start());
    twin.reset();
    // The first server is untouched by both.
    auto client = StartClient();
    EXPECT_EQ(lastClientLine_.rfind("registered", 0), 0u);
}

TEST_F(CrashPipeServerTest, RefusesMalformedRegistrationsAndListensAgain)
{
    const PipeMessage good = OwnRegistration();
    std::uint8_t bytes[kPipeMessageSize64 + 1] = {};
    std::memcpy(bytes, &good, sizeof(good));
    EXPECT_FALSE(RawRegistration(bytes, kPipeMessageSize - 1));
    EXPECT_FALSE(RawRegistration(bytes, kPipeMessageSize + 1));
    EXPECT_FALSE(RawRegistration(bytes, 0));
    // What a client of the other width sends.
    EXPECT_FALSE(RawRegistration(bytes, kOtherWidthPipeMessageSize));

    PipeMessage wrongType = good;
    wrongType.messageType = 2;
    EXPECT_FALSE(RawRegistration(&wrongType, sizeof(wrongType)));
    PipeMessage noProcess = good;
    noProcess.processId = 0;
    EXPECT_FALSE(RawRegistration(&noProcess, sizeof(noProcess)));
    for (auto field : {&PipeMessage::threadIdAddress, &PipeMessage::exceptionPointersAddress,
                       &PipeMessage::clientBlockAddress}) {
        PipeMessage zeroed = good;
        zeroed.*field = 0;
        EXPECT_FALSE(RawRegistration(&zeroed, sizeof(zeroed)));
    }

    // A registration in the name of another process is refused: that process is not the one
    // on the other end of the pipe.
    ChildProcess other;
    ASSERT_TRUE(other.Start(ProgramPath(L"DumpTarget.exe"), {L"idle"}));
    PipeMessage spoofed = good;
    spoofed.processId = other.Id();
    EXPECT_FALSE(RawRegistration(&spoofed, sizeof(spoofed)));

    // None of them made a record; the server still serves a good client. The raw good one
    // gets its reply but hangs up instead of acknowledging, so it is never reported.
    EXPECT_TRUE(RawRegistration(&good, sizeof(good)));
    auto client = StartClient();
    EXPECT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    ASSERT_TRUE(recorder_.WaitConnected(1));
    EXPECT_EQ(recorder_.Connected()[0]->processId, client->Id());
    EXPECT_TRUE(WaitForState(PipeServerState::ConnectPending));
}

TEST_F(CrashPipeServerTest, SilentClientsAreCutOffSoTheNextOneIsServed)
{
    const PipeMessage good = OwnRegistration();
    // Silent before the registration, and silent instead of the acknowledgement.
    for (bool sendRegistration : {false, true}) {
        SCOPED_TRACE(sendRegistration ? "no acknowledgement" : "no registration");
        win32::UniqueHandle silent = ConnectToCrashPipe(pipeName_, 5000);
        ASSERT_TRUE(silent);
        if (sendRegistration) {
            DWORD n = 0;
            PipeMessage reply{};
            ASSERT_TRUE(::WriteFile(silent.get(), &good, sizeof(good), &n, nullptr));
            ASSERT_TRUE(::ReadFile(silent.get(), &reply, sizeof(reply), &n, nullptr));
        }
        const ULONGLONG started = ::GetTickCount64();
        auto client = StartClient();
        // Not served means the silent one still holds the pipe: nothing after this can pass.
        ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
        EXPECT_LT(::GetTickCount64() - started, 30000u);  // far beyond any bound meant here
        // The silent one was disconnected.
        EXPECT_TRUE(ServerHangsUpWithin(silent.get(), 10000));
    }
    EXPECT_TRUE(recorder_.WaitConnected(2));
}

TEST_F(CrashPipeServerTest, LongAcknowledgementLeavesClientRegisteredButNotConnected)
{
    auto client = StartClient(L"acklong");
    ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    EXPECT_FALSE(recorder_.WaitConnected(1, 1000));
    // Registered all the same: its dump request is served.
    EXPECT_EQ(Ask(*client, "request"), "requested");
    EXPECT_TRUE(recorder_.WaitDumps(1));
    EXPECT_TRUE(recorder_.Connected().empty());
}

TEST_F(CrashPipeServerTest, EachRequestWritesItsOwnDumpAndLeavesDumpDoneSet)
{
    auto client = StartClient(L"normal", L"0", L"2");
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    EXPECT_EQ(Ask(*client, "done"), "done 0");
    EXPECT_EQ(Ask(*client, "dump"), "dump Done");
    ::Sleep(50);
    EXPECT_EQ(Ask(*client, "done"), "done 1");  // never reset by the server
    EXPECT_EQ(Ask(*client, "dump"), "dump Done");

    auto dumps = recorder_.Dumps();
    ASSERT_EQ(dumps.size(), 2u);
    EXPECT_NE(dumps[0].path, dumps[1].path);
    EXPECT_EQ(dumps_.FileNames().size(), 2u);
    for (const auto& dump : dumps) {
        EXPECT_TRUE(FileExists(dump.path));
        ASSERT_EQ(dump.annotations.size(), 3u);
        EXPECT_STREQ(dump.annotations[0].name, L"key0");
        EXPECT_STREQ(dump.annotations[1].value, L"value1");
        EXPECT_STREQ(dump.annotations[2].name, L"ptime");
    }
    const long first = std::wcstol(dumps[0].annotations[2].value, nullptr, 10);
    const long second = std::wcstol(dumps[1].annotations[2].value, nullptr, 10);
    EXPECT_GE(first, 0);
    EXPECT_GT(second, first);
}

// The client asks again the moment it sees dump-done: the server must have reset the request
// before it released the client, or the new request is wiped out and never served.
TEST_F(CrashPipeServerTest, RequestMadeTheMomentDumpDoneIsSeenGetsItsOwnDump)
{
    constexpr int kRequests = 25;
    auto client = StartClient();
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    // Each request has up to 10 s in the client; a dump takes seconds under Wine.
    EXPECT_EQ(Ask(*client, "dumps " + std::to_string(kRequests), kRequests * 10000),
              "dumps " + std::to_string(kRequests));
    const auto dumps = recorder_.Dumps();
    ASSERT_EQ(dumps.size(), std::size_t(kRequests));
    std::set<std::wstring> paths;
    for (const auto& dump : dumps) {
        paths.insert(dump.path);
    }
    EXPECT_EQ(paths.size(), std::size_t(kRequests));
    EXPECT_EQ(dumps_.FileNames().size(), std::size_t(kRequests));
}

TEST_F(CrashPipeServerTest, AnnotationsCutOffByAnUnmappedPageAreStillTerminated)
{
    auto client = StartClient(L"partialannotations");
    ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    EXPECT_EQ(Ask(*client, "dump"), "dump Done");
    const auto dumps = recorder_.Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    ASSERT_EQ(dumps[0].annotations.size(), 6u);  // five claimed and "ptime"
    for (const auto& entry : dumps[0].annotations) {
        EXPECT_NE(std::wmemchr(entry.name, L'\0', kAnnotationTextUnits), nullptr);
        EXPECT_NE(std::wmemchr(entry.value, L'\0', kAnnotationTextUnits), nullptr);
    }
    EXPECT_STREQ(dumps[0].annotations[5].name, L"ptime");
}

// A 64-bit client may keep everything the server reads anywhere in its address space: its
// variables, block, annotations and exception record all lie above 4 GiB here.
TEST_F(CrashPipeServerTest, ClientMemoryAnywhereInTheAddressSpaceIsRead)
{
    auto client = StartClient(L"high", L"0", L"2");
    ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    const std::string where = Ask(*client, "where");
    const unsigned long long base = std::strtoull(where.c_str() + 6, nullptr, 16);
    if (sizeof(void*) == 8) {
        EXPECT_GT(base, 0xFFFFFFFFull) << where;
    }
    const std::string crash = Ask(*client, "crash");
    ASSERT_EQ(crash.rfind("crash Done ", 0), 0u) << crash;
    const auto dumps = recorder_.Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    ASSERT_EQ(dumps[0].annotations.size(), 3u);
    EXPECT_STREQ(dumps[0].annotations[1].value, L"value1");

    testing_support::MinidumpFile dump;
    ASSERT_TRUE(dump.Load(dumps[0].path));
    testing_support::MinidumpFile::ExceptionInfo exception{};
    ASSERT_TRUE(dump.Exception(exception));
    EXPECT_EQ(exception.code, 0xE0000042u);
    EXPECT_EQ(exception.threadId, std::strtoul(crash.c_str() + 11, nullptr, 10));
    EXPECT_EQ(dump.StreamBytes(kClientBlockStreamType).size(), kClientBlockSize);
}

TEST_F(CrashPipeServerTest, AbsurdAnnotationCountStillGivesADump)
{
    auto client = StartClient(L"hugecount");
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    EXPECT_EQ(Ask(*client, "dump"), "dump Done");
    auto dumps = recorder_.Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    ASSERT_EQ(dumps[0].annotations.size(), 1u);
    EXPECT_STREQ(dumps[0].annotations[0].name, L"ptime");
}

TEST_F(CrashPipeServerTest, UnreadableClientMemoryDropsTheRequest)
{
    for (const wchar_t* mode : {L"badep", L"badblock"}) {
        auto client = StartClient(mode);
        ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
        std::string access;
        ASSERT_TRUE(client->ReadLine(access));
        ASSERT_TRUE(recorder_.WaitConnected(mode[3] == L'e' ? 1 : 2));
        ClientRecord* record = recorder_.Connected().back();
        EXPECT_EQ(Ask(*client, "request"), "requested");
        // The server resets the request event once it has given up on the request.
        bool reset = false;
        for (int i = 0; i < 500 && !reset; ++i) {
            ::Sleep(10);
            reset = ::WaitForSingleObject(record->dumpRequestEvent.get(), 0) == WAIT_TIMEOUT;
        }
        EXPECT_TRUE(reset);
        EXPECT_EQ(Ask(*client, "done"), "done 0");
        EXPECT_TRUE(recorder_.Dumps().empty());
        client->WriteLine("exit");
        ASSERT_TRUE(client->Wait());
    }
    // The client block was unreadable only after the file was made: it stays, empty.
    for (const auto& name : dumps_.FileNames()) {
        EXPECT_EQ(FileSize(dumps_.File(name)), 0);
    }
}

TEST_F(CrashPipeServerTest, ExitOfEachClientIsReportedOnce)
{
    auto first = StartClient();
    auto second = StartClient();
    ASSERT_TRUE(recorder_.WaitConnected(2));
    first->WriteLine("exit");
    ASSERT_TRUE(recorder_.WaitExited(1));
    second->Kill();
    ASSERT_TRUE(recorder_.WaitExited(2));
    ::Sleep(200);
    auto exited = recorder_.Exited();
    EXPECT_EQ(exited.size(), 2u);
    EXPECT_EQ(std::set<ClientRecord*>(exited.begin(), exited.end()).size(), 2u);
    EXPECT_TRUE(recorder_.Dumps().empty());
}

TEST_F(CrashPipeServerTest, ClientDyingDuringItsDumpIsReportedOnceAfterwards)
{
    win32::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    recorder_.SetDumpHook([&] { ::WaitForSingleObject(release.get(), 30000); });
    auto client = StartClient();
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    client->WriteLine("request");
    ASSERT_TRUE(recorder_.WaitDumps(1));
    client->Kill();  // dies while its dump is being handled
    // The exit may be reported during the handling or only after it: when one pool wait
    // thread serves both of the client's waits, the long dump callback holds it up.
    recorder_.WaitExited(1, 2000);
    ::SetEvent(release.get());
    ASSERT_TRUE(recorder_.WaitExited(1));
    ::Sleep(300);
    EXPECT_EQ(recorder_.Exited().size(), 1u);
    EXPECT_EQ(recorder_.Dumps().size(), 1u);
}

// Another client's exit ends the run while this one crashes: its request comes after the
// shutdown has stopped watching it, while the shutdown waits for a report still being made.
TEST_F(CrashPipeServerTest, RequestMadeDuringTheShutdownIsStillServed)
{
    win32::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    recorder_.SetDumpHook([&] { ::WaitForSingleObject(release.get(), 30000); });
    auto first = StartClient();
    auto second = StartClient();
    std::string access;
    ASSERT_TRUE(first->ReadLine(access));
    ASSERT_TRUE(second->ReadLine(access));
    ASSERT_TRUE(recorder_.WaitConnected(2));
    EXPECT_EQ(Ask(*first, "request"), "requested");
    ASSERT_TRUE(recorder_.WaitDumps(1));
    std::thread shutdown([&] { server_.reset(); });
    ::Sleep(2000);  // past the wait for the pipe to stop; now waiting for the first report
    EXPECT_EQ(Ask(*second, "request"), "requested");
    ::Sleep(300);
    EXPECT_EQ(recorder_.Dumps().size(), 1u);
    ::SetEvent(release.get());
    shutdown.join();
    EXPECT_EQ(recorder_.Dumps().size(), 2u);
    EXPECT_EQ(Ask(*first, "done"), "done 1");
    EXPECT_EQ(Ask(*second, "done"), "done 1");
    EXPECT_EQ(dumps_.FileNames().size(), 2u);
}

// A client that connects and closes before the server listens makes the first listen fail
// (ERROR_NO_DATA); the server must listen again, not stop.
TEST_F(CrashPipeServerTest, ClientsClosingWhileItStartsLeaveItListening)
{
    constexpr int kRounds = 20;
    constexpr DWORD kHammerMs = 50;
    const PipeMessage good = OwnRegistration();
    server_.reset();
    for (int round = 0; round < kRounds; ++round) {
        pipeName_ = UniquePipeName();
        std::atomic<bool> stop{false};
        std::thread hammer([&, name = pipeName_] {
            while (!stop.load()) {
                HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
                if (pipe != INVALID_HANDLE_VALUE) {
                    ::CloseHandle(pipe);
                }
            }
        });
        server_ = MakeServer();
        const bool started = server_->Start();
        ::Sleep(kHammerMs);
        stop = true;
        hammer.join();
        ASSERT_TRUE(started) << round;
        ASSERT_TRUE(RawRegistration(&good, sizeof(good))) << round;
        if (round + 1 < kRounds) {
            server_.reset();
        }
    }
    auto client = StartClient();
    ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    std::string access;
    ASSERT_TRUE(client->ReadLine(access));
    ASSERT_TRUE(recorder_.WaitConnected(1));
    EXPECT_EQ(Ask(*client, "dump"), "dump Done");
}

// With many clients registered the pool runs several wait threads, so a client's exit work
// can run while its own handshake is still under way. Clients that register and die at once
// must leave nothing behind and the server serving.
TEST_F(CrashPipeServerTest, ClientsDyingAsTheyRegisterAmongManyLeaveItServing)
{
    constexpr int kRegistered = 40;
    constexpr int kWarmUpDying = 20;
    constexpr int kDying = 240;
    constexpr int kDyingAtOnce = 4;
    constexpr std::size_t kWorkingSetSlackBytes = 2 * 1024 * 1024;
    std::vector<std::unique_ptr<ChildProcess>> registered;
    for (int i = 0; i < kRegistered; ++i) {
        registered.push_back(StartClient());
        ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u) << i;
        std::string access;
        ASSERT_TRUE(registered.back()->ReadLine(access));
    }
    ASSERT_TRUE(recorder_.WaitConnected(kRegistered));

    auto dieInBatches = [&](int count) {
        for (int i = 0; i < count; i += kDyingAtOnce) {
            ChildProcess batch[kDyingAtOnce];
            for (auto& dying : batch) {
                ASSERT_TRUE(
                    dying.Start(ProgramPath(L"PipeClient.exe"), {pipeName_, L"0", L"regdie"}));
            }
            for (auto& dying : batch) {
                ASSERT_TRUE(dying.Wait());
            }
        }
    };
    // Exit work of the last ones may still be under way: let the figures settle.
    auto settled = [&](auto measure, auto bound) {
        auto value = measure();
        for (int i = 0; i < 50 && value > bound; ++i) {
            ::Sleep(100);
            value = measure();
        }
        return value;
    };
    // Warms up the thread pool, the system's caches and the dump writer's libraries.
    dieInBatches(kWarmUpDying);
    EXPECT_EQ(Ask(*registered.back(), "dump"), "dump Done");
    ::Sleep(1000);
    const auto handlesBefore = ProbeHandleValue();
    const std::size_t memoryBefore = WorkingSetBytes();
    dieInBatches(kDying);

    auto good = StartClient();
    ASSERT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    std::string access;
    ASSERT_TRUE(good->ReadLine(access));
    EXPECT_EQ(Ask(*good, "dump"), "dump Done");
    EXPECT_EQ(Ask(*registered.front(), "dump"), "dump Done");
    good->WriteLine("exit");
    ASSERT_TRUE(good->Wait());
    good.reset();
    EXPECT_LE(settled(ProbeHandleValue, handlesBefore), handlesBefore);
    const std::size_t memoryAfter = settled(WorkingSetBytes, memoryBefore + kWorkingSetSlackBytes);
    std::printf("working set %zu -> %zu bytes around %d dying clients\n", memoryBefore, memoryAfter,
                kDying);
    EXPECT_LE(memoryAfter, memoryBefore + kWorkingSetSlackBytes);
    EXPECT_TRUE(WaitForState(PipeServerState::ConnectPending));
}

TEST_F(CrashPipeServerTest, DestroyingTheServerMakesNoExitCallbacks)
{
    auto first = StartClient();
    auto second = StartClient();
    ASSERT_TRUE(recorder_.WaitConnected(2));
    server_.reset();
    first->Kill();
    second->Kill();
    ::Sleep(300);
    EXPECT_TRUE(recorder_.Exited().empty());
}

TEST_F(CrashPipeServerTest, HostileClientsLeaveItServingWithNoMoreHandles)
{
    // Broken handshakes come from another process, so what it manages to register ends
    // with it, as it would for a real neighbour.
    auto round = [&](const wchar_t* seed) {
        ChildProcess hostile;
        ASSERT_TRUE(hostile.Start(ProgramPath(L"HostileClient.exe"), {pipeName_, seed, L"150"}));
        std::string line;
        ASSERT_TRUE(hostile.ReadLine(line, 120000));
        EXPECT_EQ(line.rfind("done 150", 0), 0u);
        hostile.Wait(30000);
        // Clients that die in the middle of their handshake.
        for (const wchar_t* mode : {L"normal", L"acklong", L"normal", L"acklong"}) {
            ChildProcess dying;
            ASSERT_TRUE(dying.Start(ProgramPath(L"PipeClient.exe"), {pipeName_, L"0", mode}));
            ::Sleep(std::rand() % 50);
            dying.Kill();
        }
    };
    round(L"1");  // the first round warms up the thread pool and the system's caches
    ::Sleep(1000);
    const auto before = ProbeHandleValue();
    round(L"2");
    StartClient()->Kill();  // still served
    EXPECT_EQ(lastClientLine_.rfind("registered", 0), 0u);
    // Exit work of the last clients may still be under way: give it time to finish.
    auto after = ProbeHandleValue();
    for (int i = 0; i < 50 && after > before; ++i) {
        ::Sleep(100);
        after = ProbeHandleValue();
    }
    EXPECT_LE(after, before);
    EXPECT_EQ(recorder_.Dumps().size(), 0u);
    EXPECT_TRUE(WaitForState(PipeServerState::ConnectPending));
}

}  // namespace
