#include "support/ProcessMemory.h"

#include <windows.h>
#include <psapi.h>

namespace {

bool ReadCounters(PROCESS_MEMORY_COUNTERS& counters)
{
    counters = PROCESS_MEMORY_COUNTERS{};
    counters.cb = sizeof(counters);
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)) != FALSE;
}

}  // namespace

std::size_t PeakWorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters;
    return ReadCounters(counters) ? counters.PeakWorkingSetSize : 0;
}

std::size_t WorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters;
    return ReadCounters(counters) ? counters.WorkingSetSize : 0;
}
