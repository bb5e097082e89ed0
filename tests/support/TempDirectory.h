#pragma once

#include <string>
#include <vector>

namespace testing_support {

// A fresh, empty folder under the system's temporary folder, removed with its contents
// when the object goes away.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

    // Names of the regular files directly inside the folder, sorted.
    std::vector<std::wstring> FileNames() const;

private:
    std::wstring path_;
};

// Whole-file helpers for tests.
bool FileExists(const std::wstring& path);
long long FileSize(const std::wstring& path);  // -1 when it cannot be read
std::vector<unsigned char> ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const void* data, std::size_t size);
void RemoveTree(const std::wstring& path);

}  // namespace testing_support
