#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CrashProtocol/PipeMessage.h"
#include "Win32/UniqueHandle.h"

// Starts a client application's crash reporter the way the reporter expects to be started:
// six arguments, the read end of an anonymous pipe inherited for the window handle, a named
// event that says the handle is in the pipe, and a spawn event the reporter signals once its
// crash pipe is listening. One object per reporter; it owns every handle it made.
class ReporterLauncher {
public:
    struct Options {
        std::wstring reporterPath, serverName, collectorHost, dumpDirectory;
        std::vector<std::wstring> extraFiles;  // go after the sixth argument
    };

    ReporterLauncher() = default;
    ReporterLauncher(const ReporterLauncher&) = delete;
    ReporterLauncher& operator=(const ReporterLauncher&) = delete;

    // Creates the spawn and window events and the pipe, starts the reporter and waits up to
    // spawnTimeoutMs for the spawn event. True when the reporter signalled it; false when it
    // could not be started, ended first, or did not answer in time. Called once.
    bool Launch(const Options& options, DWORD spawnTimeoutMs);

    // The crash pipe of the started reporter: "\\.\pipe\QV_CRASH_REPORT\" + server + our pid.
    std::wstring PipeName() const;

    // Writes the window handle into the pipe (4 bytes, little-endian), closes our end and
    // signals the window event. The reporter reads it once: false on a second call, or
    // before a successful Launch.
    bool HandOverWindow(HWND window);

    // The reporter's process handle (owned by this object), or null before Launch.
    HANDLE ReporterProcess() const { return reporterProcess_.get(); }

private:
    std::wstring serverName_;
    win32::UniqueHandle spawnEvent_;
    win32::UniqueHandle windowEvent_;
    win32::UniqueHandle windowPipeWrite_;
    win32::UniqueHandle reporterProcess_;
};

// A handle value as the reporter parses argument 5: lower-case hex digits, no prefix.
std::wstring FormatHandleArgument(ClientWord handleValue);

// One argument quoted so that the platform's usual splitting gives it back unchanged
// (backslashes doubled only where they precede a quote).
std::wstring QuoteArgument(const std::wstring& argument);

// The program path and every argument, each quoted, separated by one blank.
std::wstring MakeCommandLine(const std::wstring& program,
                             const std::vector<std::wstring>& arguments);
