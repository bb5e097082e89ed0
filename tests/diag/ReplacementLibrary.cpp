#include "ReplacementLibrary.h"

#include <windows.h>

#include "TestPaths.h"

namespace diag_testing {

namespace {

constexpr const wchar_t* kSettings[] = {
    L"JXD_TEST_LOG",
    L"JXD_TEST_INITIALIZE_RESULT",
    L"JXD_TEST_SET_USER_INFORMATION_RESULT",
    L"JXD_TEST_START_SCAN_RESULT",
    L"JXD_TEST_CALL_DELAY_MS",
};

const wchar_t* BuildName(Variant variant)
{
    switch (variant) {
        case Variant::Whole:
            return L"ReplacementDiag.dll";
        case Variant::WithoutStopScan:
            return L"ReplacementDiagNoStopScan.dll";
        case Variant::None:
            break;
    }
    return nullptr;
}

void SetNumber(const wchar_t* name, int value)
{
    ::SetEnvironmentVariableW(name, std::to_wstring(value).c_str());
}

}  // namespace

ReplacementLibrary::ReplacementLibrary(Variant variant)
{
    for (const wchar_t* name : kSettings) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
    ::SetEnvironmentVariableW(L"JXD_TEST_LOG", File(L"calls.log").c_str());
    const wchar_t* build = BuildName(variant);
    ready_ = build == nullptr ||
             ::CopyFileW(testing_support::ProgramPath(build).c_str(),
                         File(L"libjxdiag.dll").c_str(), TRUE);
}

ReplacementLibrary::~ReplacementLibrary()
{
    for (const wchar_t* name : kSettings) {
        ::SetEnvironmentVariableW(name, nullptr);
    }
}

bool ReplacementLibrary::CopyProgram(const std::wstring& name) const
{
    return ::CopyFileW(testing_support::ProgramPath(name).c_str(), File(name).c_str(), TRUE);
}

void ReplacementLibrary::SetInitializeResult(int value) const
{
    SetNumber(L"JXD_TEST_INITIALIZE_RESULT", value);
}

void ReplacementLibrary::SetUserInformationResult(int value) const
{
    SetNumber(L"JXD_TEST_SET_USER_INFORMATION_RESULT", value);
}

void ReplacementLibrary::SetStartScanResult(int value) const
{
    SetNumber(L"JXD_TEST_START_SCAN_RESULT", value);
}

void ReplacementLibrary::SetCallDelay(int milliseconds) const
{
    SetNumber(L"JXD_TEST_CALL_DELAY_MS", milliseconds);
}

bool ReplacementLibrary::LogExists() const
{
    return testing_support::FileExists(File(L"calls.log"));
}

std::vector<std::string> ReplacementLibrary::LogLines() const
{
    std::vector<unsigned char> bytes = testing_support::ReadWholeFile(File(L"calls.log"));
    std::vector<std::string> lines;
    std::string line;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += char(c);
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

DllSearchFolder::DllSearchFolder(const std::wstring& folder)
    : cookie_(::AddDllDirectory(folder.c_str()))
{
}

DllSearchFolder::~DllSearchFolder()
{
    if (cookie_ != nullptr) {
        ::RemoveDllDirectory(cookie_);
    }
}

}  // namespace diag_testing
