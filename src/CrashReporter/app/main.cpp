#include <windows.h>

namespace {

constexpr int kMinimumArgumentCount = 7;  // the program path and six arguments
constexpr int kTooFewArgumentsExitCode = -1;
constexpr wchar_t kUsageMessage[] =
    L"Cannot start the CrashReporter\nUsage: RIZurarUzedudor.exe <server-name> <collector-host> "
    L"<dump directory> <caller pid> <read handle> <process id for window handler><optional "
    L"filelist ...>\n";

}  // namespace

int wmain(int argc, wchar_t** /*argv*/)
{
    if (argc < kMinimumArgumentCount) {
        ::OutputDebugStringW(kUsageMessage);
        return kTooFewArgumentsExitCode;
    }
    return 0;
}
