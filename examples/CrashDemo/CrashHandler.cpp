#include "CrashDemo/CrashHandler.h"

#include <cstdio>

#include "CrashClient/CrashClient.h"

CrashClient* CrashHandler::client_ = nullptr;
DWORD CrashHandler::dumpTimeoutMs_ = 0;
volatile LONG CrashHandler::reporting_ = 0;

namespace {

const char* DescribeWait(CrashClient::DumpWait wait)
{
    switch (wait) {
        case CrashClient::DumpWait::Done:
            return "the report is done";
        case CrashClient::DumpWait::ReporterGone:
            return "the reporter has gone";
        case CrashClient::DumpWait::TimedOut:
            return "no answer in time";
        default:
            return "the request failed";
    }
}

}  // namespace

void CrashHandler::Install(CrashClient& client, DWORD dumpTimeoutMs)
{
    client_ = &client;
    dumpTimeoutMs_ = dumpTimeoutMs;
    ::SetUnhandledExceptionFilter(Filter);
}

LONG WINAPI CrashHandler::Filter(EXCEPTION_POINTERS* exception)
{
    // A second thread that crashes meanwhile waits: the first one's report is under way and
    // ends the process when it is done (or has timed out).
    if (::InterlockedExchange(&reporting_, 1) != 0) {
        ::Sleep(INFINITE);
    }
    const DWORD code = exception != nullptr && exception->ExceptionRecord != nullptr
                           ? exception->ExceptionRecord->ExceptionCode
                           : 0;
    std::printf("exception 0x%08lx on thread %lu: asking the reporter for a dump\n", code,
                ::GetCurrentThreadId());
    std::fflush(stdout);
    const CrashClient::DumpWait wait =
        client_->RequestDump(::GetCurrentThreadId(), exception, dumpTimeoutMs_);
    std::printf("reporter answered: %s\n", DescribeWait(wait));
    std::fflush(stdout);
    return EXCEPTION_EXECUTE_HANDLER;
}
