#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Win32/UniqueHandle.h"

namespace testing_support {

// A helper program started by a test. Its standard output comes back through a pipe, so the
// helper can report addresses and states line by line. The process is killed when the object
// goes away, unless it has ended already.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;

    // Starts program with the given arguments (each quoted). Handles in inherit are made
    // inheritable and passed on; everything else stays private.
    bool Start(const std::wstring& program, const std::vector<std::wstring>& arguments,
               const std::vector<HANDLE>& inherit = {}, DWORD creationFlags = 0);

    // Sends one line to the child's standard input.
    bool WriteLine(const std::string& line);

    // One line of the child's output, without its line end; false on time-out or end.
    bool ReadLine(std::string& line, DWORD timeoutMs = 30000);

    // Waits for the end; false on time-out.
    bool Wait(DWORD timeoutMs = 30000);
    DWORD ExitCode() const;
    void Kill();

    HANDLE Process() const { return process_.get(); }
    DWORD Id() const { return processId_; }

private:
    win32::UniqueHandle process_;
    win32::UniqueHandle output_;
    win32::UniqueHandle input_;
    DWORD processId_ = 0;
    std::string pending_;
};

// Splits a line at blanks and reads each word as a number (decimal, or hex with 0x).
std::vector<unsigned long long> ParseNumbers(const std::string& line);

}  // namespace testing_support
