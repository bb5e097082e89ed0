#include "CrashReporter/app/ReporterNames.h"

std::wstring MakeCrashPipeName(const std::wstring& serverName, const std::wstring& callerPid)
{
    return kCrashPipePrefix + serverName + callerPid;
}

std::wstring MakeSpawnEventName(const std::wstring& serverName)
{
    return kSpawnEventPrefix + serverName + kSpawnEventSuffix;
}
