#pragma once

#include <windows.h>

#include "Win32/UniqueHandle.h"

// A thread made while all is well that reports a crash for the thread that has it. The
// crashing thread may have almost no stack left (a stack overflow) and may hold locks; this
// one has its whole stack and does nothing but wait until it is needed.
class CrashHandlerThread {
public:
    // What the thread does with a crash, on its own stack.
    using Work = void (*)(void* context, DWORD threadId, EXCEPTION_POINTERS* exception);

    CrashHandlerThread() = default;
    ~CrashHandlerThread() { Stop(); }
    CrashHandlerThread(const CrashHandlerThread&) = delete;
    CrashHandlerThread& operator=(const CrashHandlerThread&) = delete;

    bool Start(Work work, void* context);

    // Ends the thread if no crash is being handled and waits for it.
    void Stop();

    // On the crashing thread: hands the crash over and waits up to timeoutMs for the work to
    // be done. Uses almost no stack. True when the work was done in time. Called once.
    bool Handle(DWORD threadId, EXCEPTION_POINTERS* exception, DWORD timeoutMs);

    DWORD ThreadId() const { return threadId_; }

private:
    static DWORD WINAPI Run(void* self);

    Work work_ = nullptr;
    void* context_ = nullptr;
    volatile DWORD crashThreadId_ = 0;
    EXCEPTION_POINTERS* volatile crashException_ = nullptr;
    win32::UniqueHandle crashEvent_;
    win32::UniqueHandle doneEvent_;
    win32::UniqueHandle stopEvent_;
    win32::UniqueHandle thread_;
    DWORD threadId_ = 0;
};
