#pragma once

#include <windows.h>

#include <string>

namespace diag_testing {

enum class LinkedTokenRun {
    Ran,          // the program ran to its end; exitCode holds its exit code
    Unavailable,  // this process has no linked token, or the system refuses to start with it
    Failed,       // the program could not be started, or did not end in time
};

// Runs program (no arguments) under this process's linked token: for an elevated
// administrator, the filtered token of the same user without elevation.
LinkedTokenRun RunWithLinkedToken(const std::wstring& program, DWORD& exitCode,
                                  DWORD timeoutMs = 30000);

}  // namespace diag_testing
