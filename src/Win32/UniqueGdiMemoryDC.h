#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// A device context made by CreateCompatibleDC (or CreateDC), released with DeleteDC.
struct GdiMemoryDCTraits {
    using Type = HDC;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::DeleteDC(h); }
};

using UniqueGdiMemoryDC = UniqueResource<GdiMemoryDCTraits>;

}  // namespace win32
