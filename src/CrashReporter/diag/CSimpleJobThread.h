#pragma once

#include <windows.h>

#include <deque>
#include <memory>

#include "Win32/CriticalSection.h"
#include "Win32/UniqueHandle.h"

constexpr DWORD kJobQueueLockSpinCount = 2000;
// Posted to the worker thread to tell it to stop.
constexpr UINT kStopWorkerMessage = WM_USER + 0x101;

// A worker thread with a queue of jobs. JobData is what is queued, ResultData what a worker
// would hand back. How a worker is started and what it does is up to the derived class; this
// base only owns the queue, the thread and its two events, and stops and drains them.
template <typename JobData, typename ResultData>
class CSimpleJobThread {
public:
    CSimpleJobThread() : queueLock_(kJobQueueLockSpinCount) {}
    virtual ~CSimpleJobThread() = default;

    CSimpleJobThread(const CSimpleJobThread&) = delete;
    CSimpleJobThread& operator=(const CSimpleJobThread&) = delete;

    virtual void PostJob(const JobData& job) = 0;

    // Signals the worker (stop event, then message 0x501), waits up to timeoutMs for it to end
    // (0: does not wait), closes the thread and both events, then drops every queued job.
    void StopWorker(DWORD timeoutMs)
    {
        if (workerThread_) {
            if (stopEvent_) {
                ::SetEvent(stopEvent_.get());
            }
            ::PostThreadMessageW(workerThreadId_, kStopWorkerMessage, 0, 0);
            if (timeoutMs != 0) {
                ::WaitForSingleObject(workerThread_.get(), timeoutMs);
            }
            workerThread_.reset();
            workerThreadId_ = 0;
        }
        workerEvent_.reset();
        stopEvent_.reset();

        win32::CriticalSectionLock lock(queueLock_);
        while (!jobQueue_.empty()) {
            jobQueue_.pop_front();
        }
        jobQueue_.shrink_to_fit();
    }

protected:
    std::deque<std::unique_ptr<JobData>> jobQueue_;  // guarded by queueLock_
    DWORD workerThreadId_ = 0;
    win32::UniqueHandle workerThread_;
    win32::UniqueHandle workerEvent_;
    win32::UniqueHandle stopEvent_;
    win32::CriticalSection queueLock_;
};
