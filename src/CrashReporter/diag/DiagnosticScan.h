#pragma once

// Values the crash pipeline hands to the diagnostic library.
constexpr int kScanUserInformation = 0;
constexpr wchar_t kScanProductName[] = L"RIZurarUzedudor";
constexpr wchar_t kScanContextName[] = L"Crash";
constexpr int kScanLevel = 2;
constexpr int kScanOption = 0;

// Runs one diagnostic scan on this thread: starts the library, hands it the user information,
// scans, stops the scan when it asks for that, finalises and unloads. Scans of concurrent
// crash reports run one after the other, as the library must only ever see one thread.
// True when the library started; false when the scan was skipped (not elevated, library or
// an entry point missing, initialisation refused).
bool RunDiagnosticScan();
