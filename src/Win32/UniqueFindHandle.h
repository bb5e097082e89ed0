#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};

using UniqueFindHandle = UniqueResource<FindHandleTraits>;

}  // namespace win32
