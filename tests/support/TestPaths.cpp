#include "TestPaths.h"

#include <windows.h>

#include <vector>

namespace testing_support {

std::wstring ProgramFolder()
{
    std::vector<wchar_t> buffer(32768);
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring ProgramPath(const std::wstring& name)
{
    return ProgramFolder() + L"\\" + name;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t buffer[32768];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, DWORD(sizeof(buffer) / sizeof(buffer[0])));
    return length > 0 && length < sizeof(buffer) / sizeof(buffer[0]) ? std::wstring(buffer, length)
                                                                      : std::wstring();
}

}  // namespace testing_support
