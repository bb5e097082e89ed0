#include "CrashReporter/diag/JXDiagWrapper.h"

#include <memory>

#include "Win32/SafeLibraryLoad.h"
#include "Win32/UniqueHandle.h"

namespace {

// The library is loaded into an elevated process: the standard search order would reach the
// current folder and every PATH folder, where anybody may plant a library. Only the program's
// own folder, the system folder and folders this process adds itself (the reporter adds
// none) are searched.
constexpr DWORD kDiagLibrarySearch = LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                     LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS;

// Stores the entry point and tells whether it was there.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

}  // namespace

bool IsProcessElevated()
{
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    win32::UniqueHandle token(rawToken);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                                 &size) &&
           elevation.TokenIsElevated != 0;
}

JXDiagWrapper::~JXDiagWrapper()
{
    Stop(0);
}

bool JXDiagWrapper::Load()
{
    library_ = win32::LoadLibraryFromSafeFolders(kDiagLibraryName, kDiagLibrarySearch);
    if (!library_) {
        return false;
    }
    // In this order; the first one missing ends the look-up.
    const HMODULE module = library_.get();
    return Resolve(module, "JXD_InitializeW", initializeW_) &&
           Resolve(module, "JXD_SetUserInformationW", setUserInformationW_) &&
           Resolve(module, "JXD_SetScanLevel", setScanLevel_) &&
           Resolve(module, "JXD_SetScanOption", setScanOption_) &&
           Resolve(module, "JXD_Finalize", finalize_) &&
           Resolve(module, "JXD_StartScan", startScan_) &&
           Resolve(module, "JXD_StopScan", stopScan_);
}

void JXDiagWrapper::Unload()
{
    // The entry points die with the module.
    initializeW_ = nullptr;
    setUserInformationW_ = nullptr;
    setScanLevel_ = nullptr;
    setScanOption_ = nullptr;
    finalize_ = nullptr;
    startScan_ = nullptr;
    stopScan_ = nullptr;
    library_.reset();
}

bool JXDiagWrapper::Start()
{
    if (initialized_) {
        return true;  // the library takes one initialisation per finalisation
    }
    if (!IsProcessElevated()) {
        return false;
    }
    if (!Load()) {
        Unload();
        return false;
    }
    synchronousMode_ = true;
    lastResult_ = initializeW_(kDiagProductCode, 0, 0);
    if (lastResult_ != 0) {
        Stop(kStartFailureStopTimeoutMs);  // not initialised: only unloads
        return false;
    }
    initialized_ = true;
    return true;
}

void JXDiagWrapper::SetUserInformation(std::int32_t information, const std::wstring& productName,
                                       const std::wstring& contextName)
{
    if (initialized_) {
        lastResult_ = setUserInformationW_(information, productName.c_str(), contextName.c_str());
    }
}

void JXDiagWrapper::SetScanLevel(std::int32_t level)
{
    if (initialized_) {
        setScanLevel_(level);
    }
}

void JXDiagWrapper::SetScanOption(std::int32_t option)
{
    if (initialized_) {
        setScanOption_(option);
    }
}

std::int32_t JXDiagWrapper::StartScan()
{
    if (!initialized_) {
        return 0;
    }
    lastResult_ = startScan_();
    return lastResult_;
}

void JXDiagWrapper::StopScan()
{
    if (initialized_) {
        stopScan_();
    }
}

void JXDiagWrapper::Stop(DWORD timeoutMs)
{
    if (initialized_) {
        if (!synchronousMode_) {
            StopWorker(timeoutMs);
            stopScan_();
        }
        finalize_();
        initialized_ = false;
    }
    if (library_) {
        Unload();
    }
}

void JXDiagWrapper::PostJob(const _JXDLIB_DATA& job)
{
    auto copy = std::make_unique<_JXDLIB_DATA>(job);
    win32::CriticalSectionLock lock(queueLock_);
    jobQueue_.push_back(std::move(copy));
}
