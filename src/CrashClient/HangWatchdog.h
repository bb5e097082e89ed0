#pragma once

#include <windows.h>

#include <cstddef>

#include "CrashClient/HangClock.h"
#include "Win32/CriticalSection.h"
#include "Win32/UniqueHandle.h"

// A thread of its own that notices when the application stops answering. It asks the thread
// of one window for an answer once per probe interval (a message sent with a time-out, which
// a thread that reads its messages answers at once), and it watches every thread that calls
// Heartbeat. A watched thread silent for the threshold is hung: the watchdog suspends it,
// takes its context, resumes it, and hands the hang to its report function as an exception
// of code kApplicationHangCode at the place where the thread waits. The application goes on.
class HangWatchdog {
public:
    // Runs on the watchdog's thread; the exception and its context stay valid during the
    // call only. silentMs is how long the thread had not answered.
    using ReportHang = void (*)(void* context, DWORD threadId, EXCEPTION_POINTERS* exception,
                                DWORD silentMs);

    struct Settings {
        DWORD thresholdMs = 5000;
        DWORD probeIntervalMs = 1000;  // also the probe's time-out: never zero
    };

    // Threads a heartbeat can come from at once.
    static constexpr std::size_t kMaxHeartbeatThreads = 16;

    HangWatchdog() = default;
    ~HangWatchdog() { Stop(); }
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

    bool Start(const Settings& settings, ReportHang report, void* context);

    // Ends the watchdog's thread and waits for it, and so for a report it is making.
    void Stop();

    // Watches the thread of this window of the running process from its first answer on;
    // null, or a window of another process, watches no window.
    void WatchWindow(HWND window);

    // Called by a thread that wants to be watched: it must call again within the threshold.
    // False when every heartbeat slot is taken.
    bool Heartbeat();
    // The calling thread is no longer watched (a thread that ends is dropped by itself).
    void StopHeartbeat();

    // Nothing is reported between Pause and the matching Resume (calls nest); silence
    // counts again from the last Resume.
    void Pause();
    void Resume();

    DWORD ThreadId() const { return threadId_; }

private:
    struct Watched {
        DWORD threadId = 0;  // 0: a free slot
        win32::UniqueHandle thread;
        HangClock clock;
    };

    static DWORD WINAPI Run(void* self);
    void Round();
    void ProbeWindow();
    // Under the lock: a newly hung thread's context captured, or false.
    bool CaptureFirstHang(ULONGLONG now, DWORD& threadId, DWORD& silentMs);
    bool Capture(HANDLE thread);
    void RestartClocks(ULONGLONG now);
    void StartWatching(Watched& watched, DWORD threadId, HANDLE thread, ULONGLONG now) const;

    Settings settings_;
    ReportHang report_ = nullptr;
    void* reportContext_ = nullptr;
    win32::UniqueHandle stopEvent_;
    win32::UniqueHandle thread_;
    DWORD threadId_ = 0;

    win32::CriticalSection lock_;
    HWND window_ = nullptr;
    Watched windowThread_;
    Watched heartbeats_[kMaxHeartbeatThreads];
    unsigned int pauses_ = 0;
    ULONGLONG lastRound_ = 0;

    // Filled while the hung thread is suspended, so nothing is allocated then: the thread may
    // hold the heap's lock.
    CONTEXT context_ = {};
    EXCEPTION_RECORD record_ = {};
    EXCEPTION_POINTERS pointers_ = {};
};
