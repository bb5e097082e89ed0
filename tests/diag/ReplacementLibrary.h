#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "TempDirectory.h"

namespace diag_testing {

// Which build of the replacement diagnostic library to use.
enum class Variant { Whole, WithoutStopScan, None };

// A folder holding one variant of the replacement library under the name the reporter loads
// ("libjxdiag.dll"), and the environment that steers it: the log file in the folder, the
// results asked for. The environment is inherited by child processes; the destructor clears
// it again.
class ReplacementLibrary {
public:
    explicit ReplacementLibrary(Variant variant);
    ~ReplacementLibrary();
    ReplacementLibrary(const ReplacementLibrary&) = delete;
    ReplacementLibrary& operator=(const ReplacementLibrary&) = delete;

    // False when the variant could not be copied into place.
    bool Ready() const { return ready_; }
    const std::wstring& Folder() const { return folder_.Path(); }
    std::wstring File(const std::wstring& name) const { return folder_.File(name); }

    // Copies a program from the test program's folder into this folder.
    bool CopyProgram(const std::wstring& name) const;

    void SetInitializeResult(int value) const;
    void SetUserInformationResult(int value) const;
    void SetStartScanResult(int value) const;
    void SetCallDelay(int milliseconds) const;

    // The lines the library has logged so far; empty when it logged nothing (never loaded).
    std::vector<std::string> LogLines() const;
    bool LogExists() const;

private:
    testing_support::TempDirectory folder_;
    bool ready_ = false;
};

// Makes this process find libraries in folder (AddDllDirectory: a folder the process adds
// itself, which the wrapper's restricted search takes), for as long as the object lives.
class DllSearchFolder {
public:
    explicit DllSearchFolder(const std::wstring& folder);
    ~DllSearchFolder();
    DllSearchFolder(const DllSearchFolder&) = delete;
    DllSearchFolder& operator=(const DllSearchFolder&) = delete;

private:
    DLL_DIRECTORY_COOKIE cookie_;
};

}  // namespace diag_testing
