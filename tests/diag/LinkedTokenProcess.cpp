#include "LinkedTokenProcess.h"

#include "Win32/UniqueHandle.h"

namespace diag_testing {

namespace {

bool RefusedForLackOfRights(DWORD error)
{
    return error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_BAD_IMPERSONATION_LEVEL ||
           error == ERROR_ACCESS_DENIED;
}

}  // namespace

LinkedTokenRun RunWithLinkedToken(const std::wstring& program, DWORD& exitCode, DWORD timeoutMs)
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return LinkedTokenRun::Unavailable;
    }
    win32::UniqueHandle own(raw);
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!::GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size) ||
        linked.LinkedToken == nullptr) {
        return LinkedTokenRun::Unavailable;
    }
    win32::UniqueHandle linkedToken(linked.LinkedToken);

    // Windows hands out the linked token at identification level to callers without the
    // trusted-computing-base privilege; it then cannot become a primary token.
    raw = nullptr;
    if (!::DuplicateTokenEx(linkedToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                            TokenPrimary, &raw)) {
        return LinkedTokenRun::Unavailable;
    }
    win32::UniqueHandle primary(raw);

    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessAsUserW(primary.get(), program.c_str(), &commandLine[0], nullptr, nullptr,
                                FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return RefusedForLackOfRights(::GetLastError()) ? LinkedTokenRun::Unavailable
                                                        : LinkedTokenRun::Failed;
    }
    win32::UniqueHandle thread(info.hThread);
    win32::UniqueHandle process(info.hProcess);
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return LinkedTokenRun::Failed;
    }
    return ::GetExitCodeProcess(process.get(), &exitCode) ? LinkedTokenRun::Ran
                                                           : LinkedTokenRun::Failed;
}

}  // namespace diag_testing
