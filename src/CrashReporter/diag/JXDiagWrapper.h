#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "CrashReporter/diag/CSimpleJobThread.h"
#include "Win32/UniqueModule.h"

// A job for the diagnostic library, copied as a block and never looked into.
struct _JXDLIB_DATA {
    unsigned char bytes[540];
};
static_assert(sizeof(_JXDLIB_DATA) == 540, "a diagnostic job record is 540 bytes");

constexpr wchar_t kDiagLibraryName[] = L"libjxdiag.dll";
constexpr wchar_t kDiagProductCode[] = L"KZR";
// Time given to a worker thread when a refused initialisation is undone.
constexpr DWORD kStartFailureStopTimeoutMs = 3000;

// True when this process's token says it runs elevated; false when the token cannot be read.
bool IsProcessElevated();

// Loads, initialises, drives, finalises and unloads the diagnostic library. Used on one
// thread; the library is loaded only into an elevated process. Every operation that forwards
// to the library does nothing unless the wrapper is initialised.
class JXDiagWrapper : public CSimpleJobThread<_JXDLIB_DATA, _JXDLIB_DATA> {
public:
    JXDiagWrapper() = default;
    // Finalises and unloads a library that Stop has not released yet.
    ~JXDiagWrapper() override;

    // True when the library is loaded and initialised. On false nothing stays loaded.
    bool Start();
    bool IsInitialized() const { return initialized_; }

    void SetUserInformation(std::int32_t information, const std::wstring& productName,
                            const std::wstring& contextName);
    void SetScanLevel(std::int32_t level);
    void SetScanOption(std::int32_t option);
    // The library's status; non-zero means the caller must call StopScan. 0 when not initialised.
    std::int32_t StartScan();
    void StopScan();

    // Finalises the library if initialised (stopping a worker thread first, waiting up to
    // timeoutMs for it), then unloads it.
    void Stop(DWORD timeoutMs);

    void PostJob(const _JXDLIB_DATA& job) override;

private:
    using InitializeFunction = std::int32_t(__cdecl*)(const wchar_t*, std::int32_t, std::int32_t);
    using SetUserInformationFunction = std::int32_t(__cdecl*)(std::int32_t, const wchar_t*,
                                                              const wchar_t*);
    using SetValueFunction = std::int32_t(__cdecl*)(std::int32_t);
    using CallFunction = std::int32_t(__cdecl*)();

    bool Load();
    void Unload();

    std::int32_t lastResult_ = 0;
    win32::UniqueModule library_;
    InitializeFunction initializeW_ = nullptr;
    SetUserInformationFunction setUserInformationW_ = nullptr;
    SetValueFunction setScanLevel_ = nullptr;
    SetValueFunction setScanOption_ = nullptr;
    CallFunction finalize_ = nullptr;
    CallFunction startScan_ = nullptr;
    CallFunction stopScan_ = nullptr;
    bool synchronousMode_ = false;  // no worker thread and no running scan to stop on finalising
    bool initialized_ = false;
};
