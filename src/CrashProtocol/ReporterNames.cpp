#include "CrashProtocol/ReporterNames.h"

#include <algorithm>

std::wstring MakeCrashPipeName(const std::wstring& serverName, const std::wstring& callerPid)
{
    return kCrashPipePrefix + serverName + callerPid;
}

std::wstring MakeSpawnEventName(const std::wstring& serverName)
{
    return kSpawnEventPrefix + serverName + kSpawnEventSuffix;
}

std::wstring MakeWindowEventName(const std::wstring& serverName, std::uint32_t processId)
{
    return kWindowEventPrefix + serverName + std::to_wstring(processId);
}

std::wstring MakeDumpFailedEventName(const std::wstring& pipeName, std::uint32_t processId)
{
    const std::wstring prefix = kCrashPipePrefix;
    std::wstring tail =
        pipeName.compare(0, prefix.size(), prefix) == 0 ? pipeName.substr(prefix.size()) : pipeName;
    std::replace(tail.begin(), tail.end(), L'\\', L'/');
    return kDumpFailedEventPrefix + tail + L"-" + std::to_wstring(processId);
}
