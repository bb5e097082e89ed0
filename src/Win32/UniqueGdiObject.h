#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// A GDI object (bitmap, brush, pen, font, region, palette) released with DeleteObject.
// The handle type is kept, so a bitmap stays an HBITMAP for the calls that want one.
template <typename Handle>
struct GdiObjectTraits {
    using Type = Handle;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::DeleteObject(h); }
};

template <typename Handle>
using UniqueGdiObject = UniqueResource<GdiObjectTraits<Handle>>;

}  // namespace win32
