// When a watched thread counts as hung, and the watchdog at work in this process: a window's
// thread that blocks, works while reading its messages, blocks while paused or before it ever
// answered, and heartbeat threads that stop or end.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "CrashClient/CrashCodes.h"
#include "CrashClient/HangClock.h"
#include "CrashClient/HangWatchdog.h"
#include "CrashClient/SyntheticException.h"
#include "Win32/CriticalSection.h"
#include "Win32/UniqueHandle.h"

namespace {

TEST(HangClockTest, CountsOneHangPerSilenceFromTheFirstAnswerOn)
{
    HangClock clock(600);
    EXPECT_FALSE(clock.IsNewHang(100000)) << "silent from the start: never watched";
    EXPECT_EQ(clock.SilentFor(100000), 0u);
    clock.Answered(1000);
    EXPECT_FALSE(clock.IsNewHang(1599));
    EXPECT_EQ(clock.SilentFor(1599), 599u);
    EXPECT_TRUE(clock.IsNewHang(1600));
    EXPECT_FALSE(clock.IsNewHang(9000)) << "one report per hang";
    clock.Answered(9000);
    EXPECT_TRUE(clock.IsNewHang(9700)) << "a new hang after an answer";
}

TEST(HangClockTest, ARestartCountsSilenceFromThenAndKeepsAReportedHangReported)
{
    HangClock clock(600);
    clock.Restart(5000);
    EXPECT_FALSE(clock.Watching()) << "a restart is no answer";
    clock.Answered(1000);
    clock.Restart(1500);
    EXPECT_FALSE(clock.IsNewHang(2000));
    EXPECT_TRUE(clock.IsNewHang(2100));
    clock.Restart(3000);
    EXPECT_FALSE(clock.IsNewHang(9000)) << "the hang was reported before the restart";
}

constexpr DWORD kThresholdMs = 1000;
constexpr DWORD kProbeMs = 100;
constexpr DWORD kBlockMs = 2500;
constexpr DWORD kAnswerMs = 500;
constexpr UINT kBlockMessage = WM_APP + 1;
constexpr UINT kBusyMessage = WM_APP + 2;
constexpr DWORD kBusyPieceMs = 50;

void PumpWaiting()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&message);
    }
}

__attribute__((noinline)) void BlockHere(DWORD milliseconds)
{
    ::Sleep(milliseconds);
}

// A thread with a window and a message loop, told by posted messages to block or to work.
class WindowThread {
public:
    WindowThread()
    {
        ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(::CreateThread(nullptr, 0, Run, this, 0, &threadId_));
        ::WaitForSingleObject(ready_.get(), INFINITE);
    }
    ~WindowThread()
    {
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
        ::WaitForSingleObject(thread_.get(), INFINITE);
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND Window() const { return window_; }
    DWORD ThreadId() const { return threadId_; }
    void Block(DWORD milliseconds) { ::PostMessageW(window_, kBlockMessage, milliseconds, 0); }
    void WorkAndRead(DWORD milliseconds) { ::PostMessageW(window_, kBusyMessage, milliseconds, 0); }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == kBlockMessage) {
            BlockHere(static_cast<DWORD>(wParam));
            return 0;
        }
        if (message == kBusyMessage) {
            const ULONGLONG end = ::GetTickCount64() + wParam;
            while (::GetTickCount64() < end) {
                const ULONGLONG piece = ::GetTickCount64() + kBusyPieceMs;
                while (::GetTickCount64() < piece) {
                }
                PumpWaiting();
            }
            return 0;
        }
        if (message == WM_DESTROY) {
            ::PostQuitMessage(0);
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    static DWORD WINAPI Run(void* self)
    {
        auto* owner = static_cast<WindowThread*>(self);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"HangWatchdogTestWindow";
        ::RegisterClassW(&windowClass);
        owner->window_ =
            ::CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 100, 100,
                              nullptr, nullptr, windowClass.hInstance, nullptr);
        ::SetEvent(owner->ready_.get());
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
        return 0;
    }

    win32::UniqueHandle ready_;
    win32::UniqueHandle thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

struct Hang {
    DWORD threadId;
    DWORD code;
    std::uintptr_t address;
    std::uintptr_t instructionPointer;
    DWORD silentMs;
};

class HangWatchdogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(watchdog_.Start(HangWatchdog::Settings{kThresholdMs, kProbeMs}, Record, this));
    }

    static void Record(void* self, DWORD threadId, EXCEPTION_POINTERS* exception, DWORD silentMs)
    {
        auto* test = static_cast<HangWatchdogTest*>(self);
        win32::CriticalSectionLock lock(test->lock_);
        test->hangs_.push_back(
            {threadId, exception->ExceptionRecord->ExceptionCode,
             reinterpret_cast<std::uintptr_t>(exception->ExceptionRecord->ExceptionAddress),
             InstructionPointerOf(*exception->ContextRecord), silentMs});
    }

    std::vector<Hang> Hangs()
    {
        win32::CriticalSectionLock lock(lock_);
        return hangs_;
    }

    // The hangs seen by the end of the wait, or as soon as there are `count`.
    std::vector<Hang> WaitForHangs(std::size_t count, DWORD milliseconds)
    {
        const ULONGLONG end = ::GetTickCount64() + milliseconds;
        while (Hangs().size() < count && ::GetTickCount64() < end) {
            ::Sleep(20);
        }
        return Hangs();
    }

    win32::CriticalSection lock_;
    std::vector<Hang> hangs_;
    HangWatchdog watchdog_;  // stops before what it reports into goes
};

TEST_F(HangWatchdogTest, ABlockedWindowIsReportedOncePerHangWithTheThreadsOwnContext)
{
    WindowThread window;
    watchdog_.WatchWindow(window.Window());
    ::Sleep(kAnswerMs);
    window.Block(kBlockMs);
    std::vector<Hang> hangs = WaitForHangs(1, kBlockMs);
    ASSERT_EQ(hangs.size(), 1u);
    EXPECT_EQ(hangs[0].threadId, window.ThreadId());
    EXPECT_EQ(hangs[0].code, kApplicationHangCode);
    EXPECT_NE(hangs[0].address, 0u);
    EXPECT_EQ(hangs[0].address, hangs[0].instructionPointer);
    EXPECT_GE(hangs[0].silentMs, kThresholdMs);

    ::Sleep(kBlockMs + kAnswerMs);
    EXPECT_EQ(Hangs().size(), 1u) << "one report for one hang";
    window.Block(kBlockMs);
    hangs = WaitForHangs(2, kBlockMs);
    ASSERT_EQ(hangs.size(), 2u) << "a new hang after the window answered again";
    EXPECT_EQ(hangs[1].threadId, window.ThreadId());
    ::Sleep(kBlockMs);  // the window's thread must be free to close
}

TEST_F(HangWatchdogTest, AWindowThatWorksButReadsItsMessagesIsNotHung)
{
    WindowThread window;
    watchdog_.WatchWindow(window.Window());
    ::Sleep(kAnswerMs);
    window.WorkAndRead(3 * kThresholdMs);
    EXPECT_TRUE(WaitForHangs(1, 3 * kThresholdMs + kAnswerMs).empty());
}

TEST_F(HangWatchdogTest, NoHangIsReportedWhilePausedAndSilenceCountsFromTheResume)
{
    WindowThread window;
    watchdog_.WatchWindow(window.Window());
    ::Sleep(kAnswerMs);
    watchdog_.Pause();
    watchdog_.Pause();
    window.Block(kBlockMs);
    ::Sleep(kBlockMs / 2);
    watchdog_.Resume();  // still paused: the calls nest
    ::Sleep(kBlockMs / 2 + kAnswerMs);
    watchdog_.Resume();
    EXPECT_TRUE(WaitForHangs(1, kAnswerMs).empty());

    // Resumed during a block that goes on past the threshold: reported, counted from then.
    watchdog_.Pause();
    window.Block(kBlockMs);
    ::Sleep(kAnswerMs);
    watchdog_.Resume();
    const std::vector<Hang> hangs = WaitForHangs(1, kBlockMs);
    ASSERT_EQ(hangs.size(), 1u);
    EXPECT_LT(hangs[0].silentMs, kBlockMs - kAnswerMs);
    ::Sleep(kBlockMs);
}

TEST_F(HangWatchdogTest, AWindowIsWatchedOnlyOnceItHasAnswered)
{
    WindowThread window;
    window.Block(kBlockMs);
    watchdog_.WatchWindow(window.Window());
    EXPECT_TRUE(WaitForHangs(1, kBlockMs + kAnswerMs).empty());
}

DWORD WINAPI BeatThenBlock(void* watchdog)
{
    for (int i = 0; i < 5; ++i) {
        static_cast<HangWatchdog*>(watchdog)->Heartbeat();
        ::Sleep(kProbeMs);
    }
    BlockHere(kBlockMs);
    return 0;
}

DWORD WINAPI BeatThenEnd(void* watchdog)
{
    for (int i = 0; i < 5; ++i) {
        static_cast<HangWatchdog*>(watchdog)->Heartbeat();
        ::Sleep(kProbeMs);
    }
    return 0;
}

TEST_F(HangWatchdogTest, AHeartbeatThreadThatStopsIsHungAndOneThatEndsIsDropped)
{
    DWORD blockingId = 0;
    win32::UniqueHandle ending(::CreateThread(nullptr, 0, BeatThenEnd, &watchdog_, 0, nullptr));
    win32::UniqueHandle blocking(
        ::CreateThread(nullptr, 0, BeatThenBlock, &watchdog_, 0, &blockingId));
    ::WaitForSingleObject(blocking.get(), INFINITE);
    ::WaitForSingleObject(ending.get(), INFINITE);
    const std::vector<Hang> hangs = WaitForHangs(2, kThresholdMs);
    ASSERT_EQ(hangs.size(), 1u);
    EXPECT_EQ(hangs[0].threadId, blockingId);
    EXPECT_EQ(hangs[0].code, kApplicationHangCode);
}

TEST_F(HangWatchdogTest, AThreadThatStopsItsHeartbeatIsNoLongerWatched)
{
    EXPECT_TRUE(watchdog_.Heartbeat());
    watchdog_.StopHeartbeat();
    EXPECT_TRUE(WaitForHangs(1, 2 * kThresholdMs).empty());
}

}  // namespace
