#pragma once

#include <windows.h>
#include <wininet.h>

#include "Win32/UniqueResource.h"

namespace win32 {

// Session, connection and request handles of WinINet. Closing a request before its
// connection, and the connection before its session, is the owner's order of destruction.
struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { ::InternetCloseHandle(h); }
};

using UniqueInternetHandle = UniqueResource<InternetHandleTraits>;

}  // namespace win32
