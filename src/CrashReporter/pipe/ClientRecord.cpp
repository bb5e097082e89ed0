#include "CrashReporter/pipe/ClientRecord.h"

#include <new>
#include <utility>

#include "CrashProtocol/Annotations.h"

namespace {

win32::UniqueHandle MakeCompletionEvent()
{
    return win32::UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

const void* ClientAddress(ClientWord address)
{
    return reinterpret_cast<const void*>(address);
}

}  // namespace

std::uint64_t CurrentSystemTime()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

ClientRecord::ClientRecord(CrashPipeServer* owner, const PipeMessage& registration,
                           std::uint64_t registeredAt)
    : server(owner),
      processId(registration.processId),
      dumpType(registration.dumpType),
      exceptionPointersAddress(registration.exceptionPointersAddress),
      clientBlockAddress(registration.clientBlockAddress),
      annotationsAddress(registration.annotationsAddress),
      annotationCount(registration.annotationCount),
      threadIdAddress(registration.threadIdAddress),
      registrationTime(registeredAt)
{
}

void ClientRecord::ReadAnnotations()
{
    if (!annotations) {
        const std::size_t slots = AnnotationSlotsFor(annotationCount);
        annotations.reset(new (std::nothrow) ClientAnnotation[slots]());
        if (!annotations) {
            return;  // the request goes on without annotations
        }
        annotationSlots = slots;
        SetAnnotationText(annotations[slots - 1].name, kElapsedAnnotationName);
    }
    if (ReadsClientAnnotations(annotationCount)) {
        SIZE_T read = 0;
        const SIZE_T bytes = SIZE_T(annotationCount) * sizeof(ClientAnnotation);
        const bool whole =
            ::ReadProcessMemory(processHandle.get(), ClientAddress(annotationsAddress),
                                annotations.get(), bytes, &read) != FALSE;
        // The client's text need not be terminated, and a read that runs into an unmapped
        // page stops anywhere: ours is terminated whatever the read did.
        for (std::size_t i = 0; i < annotationCount; ++i) {
            annotations[i].name[kAnnotationTextUnits - 1] = L'\0';
            annotations[i].value[kAnnotationTextUnits - 1] = L'\0';
        }
        if (!whole) {
            return;  // "ptime" keeps what it had
        }
    }
    SetAnnotationText(annotations[annotationSlots - 1].value,
                      ElapsedMillisecondsText(CurrentSystemTime() - registrationTime));
}

bool ClientRecord::CreateWaitCompletionEvents()
{
    dumpWaitDone_ = MakeCompletionEvent();
    exitWaitDone_ = MakeCompletionEvent();
    return dumpWaitDone_ && exitWaitDone_;
}

win32::UniqueHandle ClientRecord::CancelWaits()
{
    dumpRequestWait.CancelNotifying(dumpWaitDone_.get());
    dumpWaitCancelled_ = true;
    processExitWait.CancelNotifying(exitWaitDone_.get());
    return std::move(exitWaitDone_);
}

void ClientRecord::EndDumpWait()
{
    if (dumpRequestWait) {
        dumpRequestWait.reset();  // blocks until a running callback has returned
    } else if (dumpWaitCancelled_) {
        ::WaitForSingleObject(dumpWaitDone_.get(), INFINITE);  // cancelled without waiting
        dumpWaitCancelled_ = false;
    }
}

bool ClientRecord::HasUnservedDumpRequest() const
{
    return dumpRequestEvent && processHandle &&
           ::WaitForSingleObject(dumpRequestEvent.get(), 0) == WAIT_OBJECT_0 &&
           ::WaitForSingleObject(processHandle.get(), 0) == WAIT_TIMEOUT;
}

void ClientRecord::Destroy()
{
    EndDumpWait();
    processExitWait.reset();  // blocks until a running callback has returned
    processHandle.reset();
    dumpRequestEvent.reset();
    dumpDoneEvent.reset();
    annotations.reset();
    annotationSlots = 0;
    dumpWaitDone_.reset();
    exitWaitDone_.reset();
    Release();
}

void ClientRecord::AddReference()
{
    ::InterlockedIncrement(&references_);
}

void ClientRecord::Release()
{
    if (::InterlockedDecrement(&references_) == 0) {
        delete this;
    }
}
