#pragma once

#include <cstdint>
#include <string>

// The kernel object names that the reporter and its client application agree on. Plain
// concatenation, no separators added.

// The endings of one report's files in the dump folder, each after the report's UUID. The
// client library trims the folder by them, so they name the reporter's files and no others.
constexpr wchar_t kDumpFileEnding[] = L".dmp";
constexpr wchar_t kFullDumpFileEnding[] = L"-full.dmp";
constexpr wchar_t kBitmapFileEnding[] = L".bmp";
constexpr wchar_t kArchiveFileEnding[] = L".zip";
constexpr wchar_t kCrashPipePrefix[] = L"\\\\.\\pipe\\QV_CRASH_REPORT\\";
constexpr wchar_t kSpawnEventPrefix[] = L"Global\\QV_CRASH_REPORT-SPAWN-EVENT";
constexpr wchar_t kSpawnEventSuffix[] = L"Spawn";

// "\\.\pipe\QV_CRASH_REPORT\" + server name + caller pid (as text).
std::wstring MakeCrashPipeName(const std::wstring& serverName, const std::wstring& callerPid);

// "Global\QV_CRASH_REPORT-SPAWN-EVENT" + server name + "Spawn"; the pid is not part of it.
std::wstring MakeSpawnEventName(const std::wstring& serverName);

// Prefix of the window event's name; the server name and the client's pid follow.
constexpr wchar_t kWindowEventPrefix[] = L"QV_CRASH_REPORT-WINDOW-EVENT";

// The name of the window event a client with this pid passes as the sixth argument.
std::wstring MakeWindowEventName(const std::wstring& serverName, std::uint32_t processId);

// Prefix of the dump-failed event's name. The event sits beside the pipe protocol, which stays
// as it is: the reporter creates it for each client it registers and sets it when that client's
// dump cannot be written, so the client stops waiting at once. A client that finds no such
// event after registering is served by an older reporter and waits as before.
constexpr wchar_t kDumpFailedEventPrefix[] = L"QV_CRASH_REPORT-DUMP-FAILED-EVENT";

// Prefix + the pipe name after kCrashPipePrefix (the server name and the caller pid, or the
// whole name for another pipe, backslashes made slashes, which object names cannot hold) + "-"
// + the registered client's pid.
std::wstring MakeDumpFailedEventName(const std::wstring& pipeName, std::uint32_t processId);
