#pragma once

// The reporter executable run as our debuggee, with the test in the client's place: the test
// makes the spawn event, the window event and the inherited pipe, and real AppClient processes
// register with the reporter's pipe.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CrashProtocol/ReporterNames.h"
#include "DebuggedProcess.h"
#include "TempDirectory.h"
#include "TestPaths.h"

namespace app_testing {

using testing_support::ChildProcess;
using Texts = std::vector<std::string>;

inline const std::string kUsage =
    "Cannot start the CrashReporter\nUsage: RIZurarUzedudor.exe <server-name> <collector-host> "
    "<dump directory> <caller pid> <read handle> <process id for window handler><optional "
    "filelist ...>\n";
inline const std::string kCannotStart = "Cannot start the CrashReporter\n";
inline const std::string kStarting = "Starting CrashReporter\n";
inline const std::string kNoClient = "No client connection\n";
inline const std::string kTwoClients = "Two or more clients are connected\n";
inline const std::string kDisconnected = "Client disconnected\n";

constexpr wchar_t kCallerPid[] = L"4242";
constexpr DWORD kPromptMs = 8000;  // "at once", with room for a loaded machine

inline std::wstring UniqueServerName()
{
    static std::atomic<int> counter{0};
    return L"AppTest" + std::to_wstring(::GetCurrentProcessId()) + L"n" +
           std::to_wstring(++counter);
}

// What a client application prepares before it starts its reporter.
class ReporterProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        serverName_ = UniqueServerName();
        windowEventName_ = L"AppTestWindow" + serverName_;
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
        pipeRead_.reset(readEnd);
        pipeWrite_.reset(writeEnd);
        ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    }

    void CreateSpawnEvent()
    {
        spawnEvent_.reset(
            ::CreateEventW(nullptr, TRUE, FALSE, MakeSpawnEventName(serverName_).c_str()));
        ASSERT_TRUE(spawnEvent_);
    }

    void CreateWindowEvent()
    {
        windowEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, windowEventName_.c_str()));
        ASSERT_TRUE(windowEvent_);
    }

    std::vector<std::wstring> SixArguments() const
    {
        wchar_t handle[24];
        std::swprintf(handle, 24, L"%llx",
                      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(pipeRead_.get())));
        return {serverName_, L"http://127.0.0.1:9", dumps_.Path(), kCallerPid,
                handle,      windowEventName_};
    }

    bool StartReporter(const std::vector<std::wstring>& arguments)
    {
        return reporter_.Start(testing_support::ProgramPath(L"RIZurarUzedudor.exe"), arguments);
    }

    std::wstring PipeName() const { return MakeCrashPipeName(serverName_, kCallerPid); }

    bool SpawnSignalled(DWORD timeoutMs = kPromptMs) const
    {
        return spawnEvent_ && ::WaitForSingleObject(spawnEvent_.get(), timeoutMs) == WAIT_OBJECT_0;
    }

    // A client process registered with the reporter's pipe.
    void Connect(ChildProcess& client)
    {
        ASSERT_TRUE(
            client.Start(testing_support::ProgramPath(L"AppClient.exe"), {L"connect", PipeName()}));
        std::string line;
        ASSERT_TRUE(client.ReadLine(line));
        ASSERT_EQ(line, "connect 1");
        ASSERT_TRUE(client.WriteLine("register 0"));
        ASSERT_TRUE(client.ReadLine(line));
        ASSERT_EQ(line, "register 1");
    }

    void EndClient(ChildProcess& client)
    {
        client.WriteLine("exit");
        ASSERT_TRUE(client.Wait());
    }

    // Ends the client; the reporter must follow it within kPromptMs.
    void EndClientAndExpectPromptExit(ChildProcess& client)
    {
        const ULONGLONG left = ::GetTickCount64();
        EndClient(client);
        ASSERT_TRUE(reporter_.WaitForExit(kPromptMs));
        EXPECT_LT(reporter_.ExitTick() - left, ULONGLONG(kPromptMs));
    }

    double SecondsToExit() const
    {
        return double(reporter_.ExitTick() - reporter_.StartTick()) / 1000.0;
    }

    std::wstring serverName_;
    std::wstring windowEventName_;
    win32::UniqueHandle pipeRead_;
    win32::UniqueHandle pipeWrite_;
    win32::UniqueHandle spawnEvent_;
    win32::UniqueHandle windowEvent_;
    testing_support::TempDirectory dumps_;
    DebuggedProcess reporter_;
};

inline bool PipeExists(const std::wstring& name)
{
    win32::UniqueHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    return pipe || ::GetLastError() == ERROR_PIPE_BUSY;
}

}  // namespace app_testing
