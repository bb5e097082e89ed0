#include "CrashReporter/diag/DiagnosticScan.h"

#include "CrashReporter/diag/JXDiagWrapper.h"
#include "Win32/CriticalSection.h"

namespace {

win32::CriticalSection& ScanLock()
{
    static win32::CriticalSection lock;
    return lock;
}

}  // namespace

bool RunDiagnosticScan()
{
    win32::CriticalSectionLock oneScanAtATime(ScanLock());
    JXDiagWrapper wrapper;
    if (!wrapper.Start()) {
        return false;  // Start has released whatever it loaded
    }
    if (wrapper.IsInitialized()) {
        wrapper.SetUserInformation(kScanUserInformation, kScanProductName, kScanContextName);
    }
    if (wrapper.IsInitialized()) {
        wrapper.SetScanLevel(kScanLevel);
        wrapper.SetScanOption(kScanOption);
        if (wrapper.StartScan() != 0) {
            wrapper.StopScan();
        }
    }
    wrapper.Stop(0);
    return true;
}
