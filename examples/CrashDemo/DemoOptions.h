#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the demo was asked to do, from its command line:
//   CrashDemo.exe <collector-host> <dump directory> [--full-memory] [--name <server name>]
//                 [--crash <kind>]
//   CrashDemo.exe --crash list
struct DemoOptions {
    std::wstring collectorHost;
    std::wstring dumpDirectory;
    std::wstring serverName = L"CrashDemo";
    std::wstring crashKind = L"null-write";
    bool fullMemory = false;
    bool listKinds = false;  // --crash list: print the kinds and end
};

constexpr wchar_t kDemoUsage[] =
    L"usage: CrashDemo.exe <collector-host> <dump directory> [--full-memory] [--name <server "
    L"name>] [--crash <kind>]\n       CrashDemo.exe --crash list\n";

// False for a missing positional argument, an unknown option, an option without its value,
// an empty server name (it is part of the pipe and event names) or an unknown crash kind.
bool ParseDemoOptions(const std::vector<std::wstring>& arguments, DemoOptions& options);

// MINIDUMP_TYPE bits the demo registers with: a normal dump, and a full-memory one on request.
std::uint32_t DemoDumpType(const DemoOptions& options);
