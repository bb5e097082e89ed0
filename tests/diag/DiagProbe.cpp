// Runs one diagnostic scan in a process of its own and reports through its exit code:
//   bit 0  the process is elevated
//   bit 1  the scan started (the library was loaded and initialised)
//   bit 2  "libjxdiag.dll" is still loaded afterwards
// The library is whatever "libjxdiag.dll" the standard search order finds first, normally
// one copied beside this program.
#include <windows.h>

#include "CrashReporter/diag/DiagnosticScan.h"
#include "CrashReporter/diag/JXDiagWrapper.h"

int wmain()
{
    int report = 0;
    if (IsProcessElevated()) {
        report |= 1;
    }
    if (RunDiagnosticScan()) {
        report |= 2;
    }
    if (::GetModuleHandleW(kDiagLibraryName) != nullptr) {
        report |= 4;
    }
    return report;
}
