// The client of the idle benchmark: starts the real reporter the way an application does,
// hands over no window (so the reporter's window thread ends at once), registers, and then
// waits, driven line by line on standard input.
//   IdleClient <reporter exe> <server name> <collector host> <dump directory>
// Prints "ready <reporter process id>" (its Windows id) or "failed", then answers
//   dump    one report: "dump Done|ReporterGone|TimedOut|Failed"
// and ends when its input ends, which ends the reporter's run.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "CrashClient/CrashClient.h"
#include "CrashClient/ReporterLauncher.h"

namespace {

constexpr DWORD kSpawnTimeoutMs = 20000;
constexpr DWORD kRegisterTimeoutMs = 20000;
constexpr DWORD kDumpTimeoutMs = 120000;
constexpr std::uint32_t kNormalDump = 0;

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        return 2;
    }
    ReporterLauncher launcher;
    ReporterLauncher::Options options;
    options.reporterPath = argv[1];
    options.serverName = argv[2];
    options.collectorHost = argv[3];
    options.dumpDirectory = argv[4];
    CrashClient client;
    if (!launcher.Launch(options, kSpawnTimeoutMs) || !launcher.HandOverWindow(nullptr) ||
        !client.Register(launcher.PipeName(), client.MakeRegistration(kNormalDump),
                         kRegisterTimeoutMs)) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready %lu\n", ::GetProcessId(launcher.ReporterProcess()));
    std::fflush(stdout);
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "dump") {
            std::printf("dump %s\n", DumpWaitText(client.RequestDump(::GetCurrentThreadId(),
                                                                     nullptr, kDumpTimeoutMs)));
            std::fflush(stdout);
        }
    }
    return 0;
}
