#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "CrashReporter/diag/JXDiagWrapper.h"
#include "Win32/UniqueHandle.h"

namespace {

_JXDLIB_DATA Job(unsigned char seed)
{
    _JXDLIB_DATA job;
    for (std::size_t i = 0; i < sizeof(job.bytes); ++i) {
        job.bytes[i] = static_cast<unsigned char>(seed + i * 3);
    }
    return job;
}

bool SameBytes(const _JXDLIB_DATA& a, const _JXDLIB_DATA& b)
{
    return std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)) == 0;
}

win32::UniqueHandle Duplicate(HANDLE handle)
{
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return win32::UniqueHandle(copy);
}

// The wrapper with its job-thread state opened up: the queue can be read and a worker
// thread started, which nothing in the reporter itself does.
class InspectableWrapper : public JXDiagWrapper {
public:
    struct Worker {
        bool exitOnStopMessage = false;
        win32::UniqueHandle ready{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        win32::UniqueHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        win32::UniqueHandle stopEvent;  // a second handle, to look at the event after it closes
        win32::UniqueHandle thread;     // likewise for the thread
        InspectableWrapper* owner = nullptr;
        std::atomic<bool> sawStopMessage{false};
        std::atomic<bool> stopEventSetBeforeMessage{false};
        std::atomic<long> jobsQueuedAtMessage{-1};

        // Never leaves the thread running on a failed case.
        ~Worker()
        {
            if (thread) {
                ::SetEvent(release.get());
                ::WaitForSingleObject(thread.get(), 30000);
            }
        }
    };

    std::size_t QueueSize()
    {
        win32::CriticalSectionLock lock(queueLock_);
        return jobQueue_.size();
    }
    std::vector<_JXDLIB_DATA> QueuedJobs()
    {
        win32::CriticalSectionLock lock(queueLock_);
        std::vector<_JXDLIB_DATA> jobs;
        for (const auto& job : jobQueue_) {
            jobs.push_back(*job);
        }
        return jobs;
    }
    const void* FrontAddress()
    {
        win32::CriticalSectionLock lock(queueLock_);
        return jobQueue_.empty() ? nullptr : jobQueue_.front().get();
    }
    bool HoldsNoWorker() const
    {
        return workerThreadId_ == 0 && !workerThread_ && !workerEvent_ && !stopEvent_;
    }

    bool StartWorker(Worker& worker)
    {
        worker.owner = this;
        stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        workerEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        worker.stopEvent = Duplicate(stopEvent_.get());
        workerThread_.reset(::CreateThread(nullptr, 0, &RunWorker, &worker, 0, &workerThreadId_));
        if (!workerThread_) {
            return false;
        }
        worker.thread = Duplicate(workerThread_.get());
        return ::WaitForSingleObject(worker.ready.get(), 10000) == WAIT_OBJECT_0;
    }

private:
    // Waits for the release event; notes message 0x501 and what was true when it came.
    static DWORD WINAPI RunWorker(void* context)
    {
        auto& worker = *static_cast<Worker*>(context);
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // gives the thread its queue
        ::SetEvent(worker.ready.get());
        HANDLE release = worker.release.get();
        const ULONGLONG deadline = ::GetTickCount64() + 20000;
        while (::GetTickCount64() < deadline) {
            DWORD woke = ::MsgWaitForMultipleObjects(1, &release, FALSE, 1000, QS_ALLPOSTMESSAGE);
            if (woke == WAIT_OBJECT_0) {
                return 0;
            }
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == kStopWorkerMessage && message.wParam == 0 &&
                    message.lParam == 0) {
                    worker.stopEventSetBeforeMessage =
                        ::WaitForSingleObject(worker.stopEvent.get(), 0) == WAIT_OBJECT_0;
                    worker.jobsQueuedAtMessage = long(worker.owner->QueueSize());
                    worker.sawStopMessage = true;
                    if (worker.exitOnStopMessage) {
                        return 0;
                    }
                }
            }
        }
        return 1;
    }
};

TEST(CSimpleJobThreadTest, PostJobQueuesCopiesInPostingOrder)
{
    InspectableWrapper wrapper;
    std::vector<_JXDLIB_DATA> posted = {Job(1), Job(50), Job(200)};
    for (const auto& job : posted) {
        wrapper.PostJob(job);
    }
    EXPECT_NE(wrapper.FrontAddress(), &posted[0]);
    const std::vector<_JXDLIB_DATA> expected = posted;
    posted[0].bytes[0] ^= 0xFF;  // the queue holds its own copies
    std::vector<_JXDLIB_DATA> queued = wrapper.QueuedJobs();
    ASSERT_EQ(queued.size(), 3u);
    for (std::size_t i = 0; i < queued.size(); ++i) {
        EXPECT_TRUE(SameBytes(queued[i], expected[i])) << i;
    }
}

TEST(CSimpleJobThreadTest, PostJobFromManyThreadsKeepsEveryJob)
{
    InspectableWrapper wrapper;
    constexpr int kThreads = 4;
    constexpr int kJobsPerThread = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&wrapper, t] {
            const _JXDLIB_DATA job = Job(static_cast<unsigned char>(t));
            for (int i = 0; i < kJobsPerThread; ++i) {
                wrapper.PostJob(job);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrapper.QueueSize(), std::size_t(kThreads * kJobsPerThread));
}

TEST(CSimpleJobThreadTest, StopWorkerWithoutWorkerOrJobsChangesNothing)
{
    InspectableWrapper wrapper;
    wrapper.StopWorker(0);
    wrapper.StopWorker(5000);  // nothing to wait for
    EXPECT_TRUE(wrapper.HoldsNoWorker());
    EXPECT_EQ(wrapper.QueueSize(), 0u);
    EXPECT_FALSE(wrapper.IsInitialized());
}

TEST(CSimpleJobThreadTest, StopWorkerWithoutWorkerDropsQueuedJobs)
{
    InspectableWrapper wrapper;
    for (unsigned char i = 0; i < 5; ++i) {
        wrapper.PostJob(Job(i));
    }
    wrapper.StopWorker(0);
    EXPECT_EQ(wrapper.QueueSize(), 0u);
    EXPECT_TRUE(wrapper.HoldsNoWorker());
    // The queue stays usable afterwards.
    wrapper.PostJob(Job(9));
    ASSERT_EQ(wrapper.QueueSize(), 1u);
    EXPECT_TRUE(SameBytes(wrapper.QueuedJobs()[0], Job(9)));
}

TEST(CSimpleJobThreadTest, StopWorkerSignalsThenWaitsThenDrains)
{
    InspectableWrapper wrapper;
    InspectableWrapper::Worker worker;
    worker.exitOnStopMessage = true;
    ASSERT_TRUE(wrapper.StartWorker(worker));
    for (unsigned char i = 0; i < 3; ++i) {
        wrapper.PostJob(Job(i));
    }

    wrapper.StopWorker(10000);

    // The worker ended on the message, so StopWorker waited for it.
    EXPECT_EQ(::WaitForSingleObject(worker.thread.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.sawStopMessage);
    EXPECT_TRUE(worker.stopEventSetBeforeMessage);
    EXPECT_EQ(worker.jobsQueuedAtMessage, 3);  // drained only after the worker was dealt with
    EXPECT_EQ(wrapper.QueueSize(), 0u);
    EXPECT_TRUE(wrapper.HoldsNoWorker());
}

TEST(CSimpleJobThreadTest, StopWorkerWithZeroTimeoutDoesNotWait)
{
    InspectableWrapper wrapper;
    InspectableWrapper::Worker worker;
    worker.exitOnStopMessage = false;  // keeps running until released
    ASSERT_TRUE(wrapper.StartWorker(worker));
    wrapper.PostJob(Job(7));

    wrapper.StopWorker(0);

    EXPECT_EQ(::WaitForSingleObject(worker.thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(wrapper.HoldsNoWorker());
    EXPECT_EQ(wrapper.QueueSize(), 0u);
    EXPECT_EQ(::WaitForSingleObject(worker.stopEvent.get(), 0), WAIT_OBJECT_0);

    // The message was posted all the same.
    for (int i = 0; i < 1000 && !worker.sawStopMessage; ++i) {
        ::Sleep(10);
    }
    EXPECT_TRUE(worker.sawStopMessage);
    ::SetEvent(worker.release.get());
    EXPECT_EQ(::WaitForSingleObject(worker.thread.get(), 20000), WAIT_OBJECT_0);
}

}  // namespace
