#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "Win32/CriticalSection.h"
#include "Win32/UniqueHandle.h"

namespace app_testing {

// One line the debuggee wrote to the debugger output channel, and when it arrived.
struct DebugMessage {
    std::string text;
    ULONGLONG tick;
};

// Runs a program as our debuggee, the way a debugger sees its output: every
// OUTPUT_DEBUG_STRING_EVENT is read out of the debuggee's memory. The debug loop runs on a
// thread of its own, which also creates the process, as the system requires. A debuggee
// still running when the object goes away is killed.
class DebuggedProcess {
public:
    DebuggedProcess() = default;
    ~DebuggedProcess();
    DebuggedProcess(const DebuggedProcess&) = delete;
    DebuggedProcess& operator=(const DebuggedProcess&) = delete;

    // Starts program with the arguments (each quoted), inheriting our inheritable handles.
    bool Start(const std::wstring& program, const std::vector<std::wstring>& arguments);

    // The messages so far, in order.
    std::vector<DebugMessage> Messages() const;
    std::vector<std::string> Texts() const;
    // Waits until text has arrived (true) or timeoutMs has passed.
    bool WaitForMessage(const std::string& text, DWORD timeoutMs) const;

    bool WaitForExit(DWORD timeoutMs) const;
    DWORD ExitCode() const { return exitCode_; }
    ULONGLONG StartTick() const { return startTick_; }
    ULONGLONG ExitTick() const { return exitTick_; }
    bool IsRunning() const;

private:
    void DebugLoop(std::wstring program, std::wstring commandLine);
    void Record(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info);

    mutable win32::CriticalSection lock_;
    std::vector<DebugMessage> messages_;
    win32::UniqueHandle started_;  // set once creation was tried
    win32::UniqueHandle exited_;   // set when the debuggee has ended
    win32::UniqueHandle process_;
    bool createdProcess_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
    ULONGLONG startTick_ = 0;
    ULONGLONG exitTick_ = 0;
    std::thread loop_;
};

}  // namespace app_testing
