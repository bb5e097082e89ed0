#include "CrashProtocol/ReporterNames.h"

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
