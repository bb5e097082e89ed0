#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "CrashClient/CrashClient.h"
#include "Win32/UniqueHandle.h"

namespace {

// A pipe server that accepts one client and then does only what the test allows.
class MuteServer {
public:
    explicit MuteServer(bool readRegistration)
        : name_(L"\\\\.\\pipe\\QV_CRASH_REPORT\\Mute" + std::to_wstring(::GetCurrentProcessId()) +
                L"_" + std::to_wstring(::GetTickCount64())),
          pipe_(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64,
                                   0, nullptr)),
          release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        thread_ = std::thread([this, readRegistration] {
            ::ConnectNamedPipe(pipe_.get(), nullptr);
            if (readRegistration) {
                PipeMessage message{};
                DWORD read = 0;
                ::ReadFile(pipe_.get(), &message, sizeof(message), &read, nullptr);
            }
            ::WaitForSingleObject(release_.get(), 60000);
        });
    }
    ~MuteServer()
    {
        ::SetEvent(release_.get());
        thread_.join();
    }
    const std::wstring& Name() const { return name_; }
    bool Valid() const { return static_cast<bool>(pipe_); }

private:
    std::wstring name_;
    win32::UniqueHandle pipe_;
    win32::UniqueHandle release_;
    std::thread thread_;
};

// A reporter that takes the connection and never answers must not hold the application:
// whether it leaves the registration unread or reads it and never replies.
TEST(CrashClientTest, RegistrationGivesUpOnAReporterThatNeverAnswers)
{
    for (bool readRegistration : {false, true}) {
        SCOPED_TRACE(readRegistration ? "registration read, no reply" : "nothing read");
        MuteServer server(readRegistration);
        ASSERT_TRUE(server.Valid());
        CrashClient client;
        const ULONGLONG started = ::GetTickCount64();
        EXPECT_FALSE(client.Register(server.Name(), 0, 1000));
        EXPECT_LT(::GetTickCount64() - started, 30000u);  // far beyond the bound asked for
        EXPECT_FALSE(client.IsRegistered());
        EXPECT_EQ(client.RequestDump(::GetCurrentThreadId(), nullptr, 0),
                  CrashClient::DumpWait::Failed);
    }
}

TEST(CrashClientTest, NoReporterListeningFailsWithinTheTimeOut)
{
    CrashClient client;
    EXPECT_FALSE(client.Register(L"\\\\.\\pipe\\QV_CRASH_REPORT\\Nobody", 0, 200));
    EXPECT_FALSE(client.IsRegistered());
}

}  // namespace
