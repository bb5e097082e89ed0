// Registers one CrashClient after another with two servers, alternating which goes first,
// and times each registration from the connect to the written acknowledgement.
//   PipeBenchClient <project pipe name> <bare pipe name> <count>
// Prints "samples <project|bare> <microseconds> ..." with count figures each, in order,
// then "failed <project failures> <bare failures>".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "CrashClient/CrashClient.h"
#include "support/Stopwatch.h"

namespace {

constexpr DWORD kBusyPipeTimeoutMs = 5000;

bool TimeRegistration(const std::wstring& pipeName, std::vector<double>& samples)
{
    CrashClient client;
    Stopwatch clock;
    const bool registered = client.Register(pipeName, 0, kBusyPipeTimeoutMs);
    const double microseconds = clock.Seconds() * 1e6;
    if (registered) {
        samples.push_back(microseconds);
    }
    return registered;
}

void PrintSamples(const char* who, const std::vector<double>& samples)
{
    std::printf("samples %s", who);
    for (double s : samples) {
        std::printf(" %.1f", s);
    }
    std::printf("\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::printf("usage: PipeBenchClient <project pipe> <bare pipe> <count>\n");
        return 2;
    }
    const std::wstring projectPipe = argv[1];
    const std::wstring barePipe = argv[2];
    const int count = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    std::vector<double> project;
    std::vector<double> bare;
    project.reserve(count);
    bare.reserve(count);
    int projectFailures = 0;
    int bareFailures = 0;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            projectFailures += TimeRegistration(projectPipe, project) ? 0 : 1;
            bareFailures += TimeRegistration(barePipe, bare) ? 0 : 1;
        } else {
            bareFailures += TimeRegistration(barePipe, bare) ? 0 : 1;
            projectFailures += TimeRegistration(projectPipe, project) ? 0 : 1;
        }
    }
    PrintSamples("project", project);
    PrintSamples("bare", bare);
    std::printf("failed %d %d\n", projectFailures, bareFailures);
    std::fflush(stdout);
    return projectFailures == 0 && bareFailures == 0 ? 0 : 1;
}
