#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// A thread-pool wait registration. Destruction cancels the wait and blocks until a running
// callback has returned; Cancel() is for the places that must not block (inside the wait's
// own callback, or where the caller waits for the callback by other means).
struct WaitTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::UnregisterWaitEx(h, INVALID_HANDLE_VALUE); }
};

class UniqueWait : public UniqueResource<WaitTraits> {
public:
    using UniqueResource<WaitTraits>::UniqueResource;

    // Cancels without waiting for a running callback.
    void Cancel() noexcept
    {
        if (HANDLE wait = release()) {
            ::UnregisterWait(wait);
        }
    }
};

}  // namespace win32
