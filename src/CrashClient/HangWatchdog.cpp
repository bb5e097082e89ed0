#include "CrashClient/HangWatchdog.h"

#include <algorithm>
#include <cstring>

#include "CrashClient/CrashCodes.h"
#include "CrashClient/SyntheticException.h"

namespace {

constexpr DWORD kThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE;
// A round later than this many probe intervals (and than the threshold) means the watchdog
// itself did not run: the machine slept, or a debugger held the process.
constexpr ULONGLONG kLateRounds = 3;

}  // namespace

bool HangWatchdog::Start(const Settings& settings, ReportHang report, void* context)
{
    if (thread_ || settings.probeIntervalMs == 0 || report == nullptr) {
        return false;
    }
    settings_ = settings;
    report_ = report;
    reportContext_ = context;
    lastRound_ = ::GetTickCount64();
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_) {
        return false;
    }
    thread_.reset(::CreateThread(nullptr, 0, Run, this, 0, &threadId_));
    return static_cast<bool>(thread_);
}

void HangWatchdog::Stop()
{
    if (!thread_) {
        return;
    }
    ::SetEvent(stopEvent_.get());
    // Bounded by the report the watchdog may be making, which has its own time-out.
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
}

void HangWatchdog::StartWatching(Watched& watched, DWORD threadId, HANDLE thread,
                                 ULONGLONG now) const
{
    watched.threadId = threadId;
    watched.thread.reset(thread);
    watched.clock = HangClock(settings_.thresholdMs);
    if (now != 0) {
        watched.clock.Answered(now);
    }
}

void HangWatchdog::WatchWindow(HWND window)
{
    DWORD processId = 0;
    const DWORD threadId = window != nullptr ? ::GetWindowThreadProcessId(window, &processId) : 0;
    HANDLE thread = threadId != 0 && processId == ::GetCurrentProcessId()
                        ? ::OpenThread(kThreadAccess, FALSE, threadId)
                        : nullptr;
    win32::CriticalSectionLock lock(lock_);
    window_ = thread != nullptr ? window : nullptr;
    // A window is watched from its first answer, not from now.
    StartWatching(windowThread_, thread != nullptr ? threadId : 0, thread, 0);
}

bool HangWatchdog::Heartbeat()
{
    if (!thread_) {
        return false;
    }
    const DWORD self = ::GetCurrentThreadId();
    const ULONGLONG now = ::GetTickCount64();
    win32::CriticalSectionLock lock(lock_);
    Watched* free = nullptr;
    for (Watched& watched : heartbeats_) {
        if (watched.threadId == self) {
            watched.clock.Answered(now);
            return true;
        }
        if (watched.threadId == 0 && free == nullptr) {
            free = &watched;
        }
    }
    if (free == nullptr) {
        return false;
    }
    HANDLE thread = ::OpenThread(kThreadAccess, FALSE, self);
    if (thread == nullptr) {
        return false;
    }
    StartWatching(*free, self, thread, now);
    return true;
}

void HangWatchdog::StopHeartbeat()
{
    const DWORD self = ::GetCurrentThreadId();
    win32::CriticalSectionLock lock(lock_);
    for (Watched& watched : heartbeats_) {
        if (watched.threadId == self) {
            StartWatching(watched, 0, nullptr, 0);
        }
    }
}

void HangWatchdog::Pause()
{
    win32::CriticalSectionLock lock(lock_);
    ++pauses_;
}

void HangWatchdog::Resume()
{
    win32::CriticalSectionLock lock(lock_);
    if (pauses_ > 0 && --pauses_ == 0) {
        RestartClocks(::GetTickCount64());
    }
}

void HangWatchdog::RestartClocks(ULONGLONG now)
{
    windowThread_.clock.Restart(now);
    for (Watched& watched : heartbeats_) {
        watched.clock.Restart(now);
    }
}

DWORD WINAPI HangWatchdog::Run(void* self)
{
    auto* watchdog = static_cast<HangWatchdog*>(self);
    const DWORD interval = watchdog->settings_.probeIntervalMs;
    ULONGLONG next = ::GetTickCount64() + interval;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD wait = next > now ? static_cast<DWORD>(next - now) : 0;
        if (::WaitForSingleObject(watchdog->stopEvent_.get(), wait) != WAIT_TIMEOUT) {
            return 0;
        }
        next = ::GetTickCount64() + interval;
        watchdog->Round();
    }
}

void HangWatchdog::Round()
{
    {
        const ULONGLONG now = ::GetTickCount64();
        const ULONGLONG lateAfter =
            std::max<ULONGLONG>(settings_.thresholdMs, kLateRounds * settings_.probeIntervalMs);
        win32::CriticalSectionLock lock(lock_);
        if (now - lastRound_ > lateAfter) {
            RestartClocks(now);
        }
        lastRound_ = now;
        if (pauses_ > 0) {
            return;
        }
    }
    ProbeWindow();
    DWORD threadId = 0;
    DWORD silentMs = 0;
    bool hung = false;
    // A thread that waits for the watchdog to stop (Uninstall) is not hung.
    if (::WaitForSingleObject(stopEvent_.get(), 0) != WAIT_TIMEOUT) {
        return;
    }
    {
        win32::CriticalSectionLock lock(lock_);
        hung = pauses_ == 0 && CaptureFirstHang(::GetTickCount64(), threadId, silentMs);
    }
    if (hung) {
        report_(reportContext_, threadId, &pointers_, silentMs);
        win32::CriticalSectionLock lock(lock_);
        lastRound_ = ::GetTickCount64();  // the report's own time is no sign of sleep
    }
}

void HangWatchdog::ProbeWindow()
{
    HWND window = nullptr;
    {
        win32::CriticalSectionLock lock(lock_);
        window = window_;
    }
    if (window == nullptr) {
        return;
    }
    // A thread that reads its messages answers at once; a blocked one is given the interval.
    DWORD_PTR result = 0;
    const bool answered = ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL,
                                                settings_.probeIntervalMs, &result) != 0;
    // A window destroyed meanwhile may fail otherwise than with an invalid handle.
    const bool gone = !answered && ::IsWindow(window) == FALSE;
    win32::CriticalSectionLock lock(lock_);
    if (window_ != window) {
        return;  // another window was handed over meanwhile
    }
    if (answered) {
        windowThread_.clock.Answered(::GetTickCount64());
    } else if (gone) {
        window_ = nullptr;
        StartWatching(windowThread_, 0, nullptr, 0);
    }
}

bool HangWatchdog::CaptureFirstHang(ULONGLONG now, DWORD& threadId, DWORD& silentMs)
{
    for (Watched& watched : heartbeats_) {
        if (watched.threadId != 0 &&
            ::WaitForSingleObject(watched.thread.get(), 0) == WAIT_OBJECT_0) {
            StartWatching(watched, 0, nullptr, 0);  // the thread has ended
        }
    }
    auto check = [&](Watched& watched) {
        if (watched.threadId == 0 || !watched.clock.IsNewHang(now) ||
            !Capture(watched.thread.get())) {
            return false;
        }
        threadId = watched.threadId;
        silentMs = static_cast<DWORD>(watched.clock.SilentFor(now));
        return true;
    };
    if (check(windowThread_)) {
        return true;
    }
    for (Watched& watched : heartbeats_) {
        if (check(watched)) {
            return true;
        }
    }
    return false;
}

bool HangWatchdog::Capture(HANDLE thread)
{
    std::memset(&context_, 0, sizeof(context_));
    context_.ContextFlags = CONTEXT_FULL;
    if (::SuspendThread(thread) == static_cast<DWORD>(-1)) {
        return false;
    }
    // Nothing between suspend and resume allocates or takes a lock the thread may hold.
    const BOOL got = ::GetThreadContext(thread, &context_);
    ::ResumeThread(thread);
    if (!got) {
        return false;
    }
    std::memset(&record_, 0, sizeof(record_));
    record_.ExceptionCode = kApplicationHangCode;
    record_.ExceptionAddress = reinterpret_cast<PVOID>(InstructionPointerOf(context_));
    pointers_.ExceptionRecord = &record_;
    pointers_.ContextRecord = &context_;
    return true;
}
