#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// A timer of the default timer queue. Destruction deletes the timer and blocks until a
// running callback has returned, so it must not run inside that callback.
struct TimerTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept
    {
        ::DeleteTimerQueueTimer(nullptr, h, INVALID_HANDLE_VALUE);
    }
};

using UniqueTimer = UniqueResource<TimerTraits>;

}  // namespace win32
