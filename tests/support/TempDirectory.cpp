#include "TempDirectory.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

#include "Win32/UniqueFindHandle.h"
#include "Win32/UniqueHandle.h"

namespace testing_support {

TempDirectory::TempDirectory()
{
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, base);
    for (;;) {
        path_ = std::wstring(base) + L"crtest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++);
        if (::CreateDirectoryW(path_.c_str(), nullptr)) {
            break;
        }
    }
}

TempDirectory::~TempDirectory()
{
    RemoveTree(path_);
}

std::vector<std::wstring> TempDirectory::FileNames() const
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    win32::UniqueFindHandle find(::FindFirstFileW((path_ + L"\\*").c_str(), &data));
    if (!find) {
        return names;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(data.cFileName);
        }
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

long long FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<unsigned char> ReadWholeFile(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return bytes;
    }
    unsigned char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), chunk, chunk + read);
    }
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const void* data, std::size_t size)
{
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : DWORD(size), written = 0;
        if (!::WriteFile(file.get(), bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    {
        win32::UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
        if (find) {
            do {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                std::wstring child = path + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(child);
                } else {
                    ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                    ::DeleteFileW(child.c_str());
                }
            } while (::FindNextFileW(find.get(), &data));
        }
    }
    ::RemoveDirectoryW(path.c_str());
}

}  // namespace testing_support
