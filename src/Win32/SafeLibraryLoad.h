#pragma once

#include <windows.h>

#include <string>

#include "Win32/UniqueModule.h"

namespace win32 {

using LoadLibraryExFunction = HMODULE(WINAPI*)(LPCWSTR name, HANDLE file, DWORD flags);

// Loads a library found only in the folders searchFlags name (LOAD_LIBRARY_SEARCH_* bits,
// of which APPLICATION_DIR and SYSTEM32 are honoured by the fallback). Windows 7 and Server
// 2008 R2 take those flags only with KB2533623, which brings AddDllDirectory; without it
// LoadLibraryExW refuses them with ERROR_INVALID_PARAMETER, and the library is loaded by its
// full path in the program's folder, then in the system folder, instead. load stands in for
// LoadLibraryExW, so that tests can refuse the flags.
inline UniqueModule LoadLibraryFromSafeFolders(const wchar_t* name, DWORD searchFlags,
                                               LoadLibraryExFunction load = ::LoadLibraryExW)
{
    const bool flagsKnown =
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
    if (flagsKnown) {
        UniqueModule module(load(name, nullptr, searchFlags));
        if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) {
            return module;
        }
    }
    // A dependency is then searched for beside the library first.
    constexpr DWORD kFullPathFlags = LOAD_WITH_ALTERED_SEARCH_PATH;
    wchar_t folder[MAX_PATH];
    if ((searchFlags & LOAD_LIBRARY_SEARCH_APPLICATION_DIR) != 0) {
        const DWORD length = ::GetModuleFileNameW(nullptr, folder, MAX_PATH);
        std::wstring path(folder, length < MAX_PATH ? length : 0);
        const std::size_t slash = path.find_last_of(L'\\');
        if (slash != std::wstring::npos) {
            path.resize(slash + 1);
            UniqueModule module(load((path + name).c_str(), nullptr, kFullPathFlags));
            if (module) {
                return module;
            }
        }
    }
    if ((searchFlags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0) {
        const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        if (length != 0 && length < MAX_PATH) {
            const std::wstring path = std::wstring(folder, length) + L"\\" + name;
            return UniqueModule(load(path.c_str(), nullptr, kFullPathFlags));
        }
    }
    return UniqueModule();
}

}  // namespace win32
