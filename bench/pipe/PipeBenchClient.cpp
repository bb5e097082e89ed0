// Registers one CrashClient after another with each of several servers, rotating which goes
// first, and times each registration from the connect to the written acknowledgement.
//   PipeBenchClient <count> <name>=<pipe> [<name>=<pipe> ...]
// Prints "samples <name> <microseconds> ..." with count figures per server, in order, then
// "failed <name> <failures>" for each.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "CrashClient/CrashClient.h"
#include "support/Stopwatch.h"

namespace {

constexpr DWORD kBusyPipeTimeoutMs = 5000;

struct Server {
    std::wstring name;
    std::wstring pipe;
    std::vector<double> samples;
    int failures = 0;
};

void TimeRegistration(Server& server)
{
    CrashClient client;
    Stopwatch clock;
    const bool registered = client.Register(server.pipe, 0, kBusyPipeTimeoutMs);
    const double microseconds = clock.Seconds() * 1e6;
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
        servers.push_back(std::move(server));
    }
    for (int i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < servers.size(); ++k) {
            TimeRegistration(servers[(i + k) % servers.size()]);
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
