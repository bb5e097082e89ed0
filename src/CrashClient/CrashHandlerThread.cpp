#include "CrashClient/CrashHandlerThread.h"

namespace {

// The thread's own stack; its work runs the request and waits, nothing deep.
constexpr SIZE_T kStackSize = 256 * 1024;

}  // namespace

bool CrashHandlerThread::Start(Work work, void* context)
{
    if (thread_) {
        return false;
    }
    work_ = work;
    context_ = context;
    crashEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    doneEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!crashEvent_ || !doneEvent_ || !stopEvent_) {
        return false;
    }
    thread_.reset(::CreateThread(nullptr, kStackSize, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 &threadId_));
    return static_cast<bool>(thread_);
}

void CrashHandlerThread::Stop()
{
    if (!thread_) {
        return;
    }
    ::SetEvent(stopEvent_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
    threadId_ = 0;
}

bool CrashHandlerThread::Handle(DWORD threadId, EXCEPTION_POINTERS* exception, DWORD timeoutMs)
{
    if (!thread_) {
        return false;
    }
    crashThreadId_ = threadId;
    crashException_ = exception;
    ::SetEvent(crashEvent_.get());
    return ::WaitForSingleObject(doneEvent_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI CrashHandlerThread::Run(void* self)
{
    auto* handler = static_cast<CrashHandlerThread*>(self);
    // The crash takes precedence over a stop that comes at the same time.
    const HANDLE waits[] = {handler->crashEvent_.get(), handler->stopEvent_.get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        handler->work_(handler->context_, handler->crashThreadId_, handler->crashException_);
        ::SetEvent(handler->doneEvent_.get());
    }
    return 0;
}
