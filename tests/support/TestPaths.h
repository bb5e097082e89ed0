#pragma once

#include <string>

namespace testing_support {

// The folder that holds the running test program; every helper program is built there.
std::wstring ProgramFolder();

// ProgramFolder() + "\" + name.
std::wstring ProgramPath(const std::wstring& name);

// An environment variable's value, or an empty string.
std::wstring EnvironmentValue(const wchar_t* name);

}  // namespace testing_support
