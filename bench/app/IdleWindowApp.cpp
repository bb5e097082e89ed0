// An idle application with a window and crash reporting installed, with the hang watchdog on
// or off, for the idle benchmark's cost of watching.
//   IdleWindowApp <tag> <reporter exe> <collector host> <dump directory> on|off
// The tag only tells the driver which process is this one. Prints "ready" once registered
// (or "failed"), then reads its window's messages until its standard input ends.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CrashClient/CrashReporting.h"

namespace {

constexpr DWORD kRegistrationWaitMs = 30000;
DWORD mainThreadId = 0;

DWORD WINAPI QuitWhenInputEnds(void*)
{
    char byte = 0;
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read != 0) {
    }
    ::PostThreadMessageW(mainThreadId, WM_QUIT, 0, 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 6) {
        return 2;
    }
    mainThreadId = ::GetCurrentThreadId();
    CrashReporting::Options options;
    options.reporterPath = argv[2];
    options.serverName = argv[1];
    options.collectorHost = argv[3];
    options.dumpDirectory = argv[4];
    options.watchForHangs = std::wstring(argv[5]) == L"on";
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"IdleWindowApp";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Idle", WS_OVERLAPPEDWINDOW, 0,
                                    0, 200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr || !CrashReporting::Install(options).Installed() ||
        !CrashReporting::SetWindow(window) ||
        CrashReporting::WaitForRegistration(kRegistrationWaitMs) !=
            CrashReporting::Registration::Registered) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    ::CloseHandle(::CreateThread(nullptr, 0, QuitWhenInputEnds, nullptr, 0, nullptr));
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::DispatchMessageW(&message);
    }
    CrashReporting::Uninstall();
    return 0;
}
