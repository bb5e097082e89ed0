#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::FreeLibrary(h); }
};

using UniqueModule = UniqueResource<ModuleTraits>;

}  // namespace win32
