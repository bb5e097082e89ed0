#pragma once

#include <windows.h>

#include <string>

#include "Win32/UniqueHandle.h"

// A program started with its standard output on a pipe, ended (if still running) when the
// owner goes away.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::wstring& commandLine);

    // Blocks for the next line of the child's output, without its line end. False when the
    // child closed its output first.
    bool ReadLine(std::string& line);

    void Terminate();

    HANDLE Process() const { return process_.get(); }
    DWORD Id() const { return processId_; }

private:
    win32::UniqueHandle process_;
    win32::UniqueHandle output_;
    DWORD processId_ = 0;
};
