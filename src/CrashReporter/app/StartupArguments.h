#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CrashProtocol/PipeMessage.h"

// What the entry point reads from its command line. Pure text work, no system calls.

// The program path plus six arguments; extra files are optional.
constexpr int kMinimumArgumentCount = 7;
// The first extra file is the sixth argument itself (the window event's name).
constexpr int kFirstExtraFileArgument = 6;

// Argument 5 as the C library reads an unsigned base-16 number: leading blanks and a 0x
// prefix are accepted, parsing stops at the first non-digit, no digits give 0. A handle is as
// wide as the program.
ClientWord ParseReadHandle(const std::wstring& text);

// The text before the last backslash; a path without one is returned whole.
std::wstring FolderOfPath(const std::wstring& path);

// The folder to run in for a program at programPath: FolderOfPath, except that a program in
// a drive root keeps the root ("C:\\"), as "C:" alone names the drive's current folder.
std::wstring WorkingFolderOfProgram(const std::wstring& programPath);

// Arguments 6 to the last, in order (empty when there are fewer).
std::vector<std::wstring> ExtraFilesFromArguments(int argc, const wchar_t* const* argv);
