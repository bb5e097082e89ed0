#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// A thread-pool wait registration. Destruction cancels the wait and blocks until a running
// callback has returned, so it must not run inside a callback of the same wait thread.
struct WaitTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::UnregisterWaitEx(h, INVALID_HANDLE_VALUE); }
};

class UniqueWait : public UniqueResource<WaitTraits> {
public:
    using UniqueResource<WaitTraits>::UniqueResource;

    // Cancels without blocking; completionEvent is signalled once no callback of this wait
    // runs any more, so the caller can wait for that later and elsewhere.
    void CancelNotifying(HANDLE completionEvent) noexcept
    {
        HANDLE wait = release();
        if (wait == nullptr) {
            ::SetEvent(completionEvent);
            return;
        }
        // TRUE means no callback was pending; any failure but ERROR_IO_PENDING means nothing
        // will signal the event. Signalling it twice is harmless.
        if (::UnregisterWaitEx(wait, completionEvent) || ::GetLastError() != ERROR_IO_PENDING) {
            ::SetEvent(completionEvent);
        }
    }
};

}  // namespace win32
