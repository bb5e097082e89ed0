#pragma once

#include <windows.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// Kernel handles (files, events, mutexes, processes, threads, pipes, tokens). Both null
// and INVALID_HANDLE_VALUE mean "nothing owned", as different APIs use either.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;

}  // namespace win32
