// Registers one CrashClient after another with each of several servers, rotating which goes
// first, and times each registration from the connect to the written acknowledgement.
//   PipeBenchClient <count> <name>=<pipe> [<name>=<pipe> ...]
// Prints "samples <name> <microseconds> ..." with count figures per server, in order, then
// "failed <name> <failures>" for each. A registration that has not returned after 30 s (the
// client library's reply read has no time-out) ends the run with "stuck <name> <index>".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "CrashClient/CrashClient.h"
#include "support/Stopwatch.h"

namespace {

constexpr DWORD kBusyPipeTimeoutMs = 5000;
constexpr ULONGLONG kStuckAfterMs = 30000;
constexpr int kStuckExitCode = 3;

// The registration in progress, watched by a thread of its own.
volatile LONG g_current = -1;  // index into the server list
volatile LONG g_iteration = 0;
volatile LONGLONG g_startedTick = 0;
std::vector<std::wstring> g_names;

DWORD WINAPI WatchForStuckRegistration(PVOID)
{
    for (;;) {
        ::Sleep(500);
        const LONG current = g_current;
        const ULONGLONG started = ULONGLONG(g_startedTick);
        if (current >= 0 && ::GetTickCount64() - started > kStuckAfterMs) {
            std::printf("stuck %ls %ld\n", g_names[current].c_str(), g_iteration);
            std::fflush(stdout);
            ::ExitProcess(kStuckExitCode);
        }
    }
}

struct Server {
    std::wstring name;
    std::wstring pipe;
    std::vector<double> samples;
    int failures = 0;
};

void TimeRegistration(Server& server, LONG index)
{
    CrashClient client;
    g_startedTick = LONGLONG(::GetTickCount64());
    g_current = index;
    Stopwatch clock;
    const bool registered = client.Register(server.pipe, 0, kBusyPipeTimeoutMs);
    const double microseconds = clock.Seconds() * 1e6;
    g_current = -1;
    if (registered) {
        server.samples.push_back(microseconds);
    } else {
        ++server.failures;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::printf("usage: PipeBenchClient <count> <name>=<pipe> ...\n");
        return 2;
    }
    const int count = static_cast<int>(std::wcstol(argv[1], nullptr, 10));
    std::vector<Server> servers;
    for (int i = 2; i < argc; ++i) {
        const std::wstring argument = argv[i];
        const std::size_t equals = argument.find(L'=');
        if (equals == std::wstring::npos) {
            return 2;
        }
        Server server;
        server.name = argument.substr(0, equals);
        server.pipe = argument.substr(equals + 1);
        server.samples.reserve(count);
        g_names.push_back(server.name);
        servers.push_back(std::move(server));
    }
    win32::UniqueHandle watchdog(
        ::CreateThread(nullptr, 0, WatchForStuckRegistration, nullptr, 0, nullptr));
    for (int i = 0; i < count; ++i) {
        g_iteration = i;
        for (std::size_t k = 0; k < servers.size(); ++k) {
            const std::size_t index = (i + k) % servers.size();
            TimeRegistration(servers[index], LONG(index));
        }
    }
    bool ok = true;
    for (const Server& server : servers) {
        std::printf("samples %ls", server.name.c_str());
        for (double s : server.samples) {
            std::printf(" %.1f", s);
        }
        std::printf("\nfailed %ls %d\n", server.name.c_str(), server.failures);
        ok = ok && server.failures == 0;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
