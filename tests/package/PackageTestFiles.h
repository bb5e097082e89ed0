#pragma once

#include <windows.h>

#include <string>

namespace package_testing {

// Makes a folder the process's current directory for the lifetime of the scope.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& directory);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::wstring previous_;
};

// Sets a file's last-write time to the given local wall-clock time.
bool SetLocalLastWriteTime(const std::wstring& path, const SYSTEMTIME& local);

// 14:30:10 on 2 March 2015, whose DOS form is time 0x73C5, date 0x4662.
SYSTEMTIME SampleLocalTime();

}  // namespace package_testing
