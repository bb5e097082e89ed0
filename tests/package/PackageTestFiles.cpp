#include "PackageTestFiles.h"

#include "Win32/UniqueHandle.h"

namespace package_testing {

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& directory)
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, buffer);
    if (length > 0 && length < MAX_PATH) {
        previous_.assign(buffer, length);
    }
    ::SetCurrentDirectoryW(directory.c_str());
}

ScopedCurrentDirectory::~ScopedCurrentDirectory()
{
    if (!previous_.empty()) {
        ::SetCurrentDirectoryW(previous_.c_str());
    }
}

bool SetLocalLastWriteTime(const std::wstring& path, const SYSTEMTIME& local)
{
    FILETIME localTime;
    FILETIME utc;
    if (!::SystemTimeToFileTime(&local, &localTime) ||
        !::LocalFileTimeToFileTime(&localTime, &utc)) {
        return false;
    }
    win32::UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    return file && ::SetFileTime(file.get(), nullptr, nullptr, &utc);
}

SYSTEMTIME SampleLocalTime()
{
    SYSTEMTIME time{};
    time.wYear = 2015;
    time.wMonth = 3;
    time.wDay = 2;
    time.wHour = 14;
    time.wMinute = 30;
    time.wSecond = 10;
    return time;
}

}  // namespace package_testing
