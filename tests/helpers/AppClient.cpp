// A client application for the reporter process tests, driven line by line on standard input.
//   AppClient launch <reporter exe> <server name> <collector host> <dump directory> [extra ...]
//       starts its reporter through ReporterLauncher: "launch 1 <reporter pid>" and
//       "pipe <crash pipe name>", or "launch 0"
//   AppClient connect <pipe name>
//       talks to a reporter somebody else started: "connect 1"
// Commands:
//   window               shows a painted window on a thread of its own and, after a launch,
//                        hands it to the reporter: "window <handle> 1|0"
//   register <dump type> "register 1|0"
//   dump                 requests a dump and waits: "dump Done|ReporterGone|TimedOut|Failed <ms>"
//   crash                an access violation; the unhandled-exception filter asks for the dump
//                        and prints "crash <result> <ms>" before the process dies
//   reporter <ms>        waits for the launched reporter: "reporter <exit code>" or
//                        "reporter running"
//   exit                 ends the process
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "CrashClient/CrashClient.h"
#include "CrashClient/ReporterLauncher.h"
#include "PrintFlushed.h"

namespace {

constexpr DWORD kSpawnTimeoutMs = 20000;
constexpr DWORD kDumpTimeoutMs = 120000;
// A loaded machine can keep the single pipe instance busy for a while.
constexpr DWORD kRegisterTimeoutMs = 20000;
constexpr int kWindowWidth = 240;
constexpr int kWindowHeight = 160;

CrashClient* g_client = nullptr;

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception)
{
    const ULONGLONG started = ::GetTickCount64();
    const auto result = g_client->RequestDump(::GetCurrentThreadId(), exception, kDumpTimeoutMs);
    PrintFlushed("crash %s %llu\n", DumpWaitText(result), ::GetTickCount64() - started);
    return EXCEPTION_EXECUTE_HANDLER;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        RECT area{0, 0, kWindowWidth / 2, kWindowHeight};
        ::FillRect(dc, &area, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
        ::EndPaint(window, &paint);
        return 0;
    }
    return ::DefWindowProcW(window, message, w, l);
}

// A window with a message loop of its own, so it paints while the main thread reads stdin.
HWND StartWindowThread()
{
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static HWND created = nullptr;
    std::thread([ready] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = WindowProcedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
        windowClass.lpszClassName = L"AppClientWindow";
        ::RegisterClassW(&windowClass);
        created = ::CreateWindowExW(0, L"AppClientWindow", L"AppClient", WS_POPUP | WS_VISIBLE, 10,
                                    10, kWindowWidth, kWindowHeight, nullptr, nullptr,
                                    windowClass.hInstance, nullptr);
        if (created != nullptr) {
            ::UpdateWindow(created);
        }
        ::SetEvent(ready);
        MSG message;
        while (created != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
    }).detach();
    ::WaitForSingleObject(ready, INFINITE);
    ::CloseHandle(ready);
    return created;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 2;
    }
    const std::wstring mode = argv[1];
    ReporterLauncher launcher;
    std::wstring pipeName;
    if (mode == L"launch" && argc >= 6) {
        ReporterLauncher::Options options;
        options.reporterPath = argv[2];
        options.serverName = argv[3];
        options.collectorHost = argv[4];
        options.dumpDirectory = argv[5];
        for (int i = 6; i < argc; ++i) {
            options.extraFiles.emplace_back(argv[i]);
        }
        if (!launcher.Launch(options, kSpawnTimeoutMs)) {
            PrintFlushed("launch 0\n");
            return 1;
        }
        pipeName = launcher.PipeName();
        PrintFlushed("launch 1 %lu\n", ::GetProcessId(launcher.ReporterProcess()));
        PrintFlushed("pipe %ls\n", pipeName.c_str());
    } else if (mode == L"connect") {
        pipeName = argv[2];
        PrintFlushed("connect 1\n");
    } else {
        return 2;
    }

    CrashClient client;
    g_client = &client;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "window") {
            const HWND window = StartWindowThread();
            const bool handed = launcher.HandOverWindow(window);
            PrintFlushed("window 0x%lx %d\n",
                         static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)),
                         handed ? 1 : 0);
        } else if (command.rfind("register ", 0) == 0) {
            const auto dumpType = std::uint32_t(std::strtoul(command.c_str() + 9, nullptr, 0));
            const bool registered = client.Register(pipeName, dumpType, kRegisterTimeoutMs);
            PrintFlushed(registered ? "register 1\n" : "register 0 error %lu\n", ::GetLastError());
        } else if (command == "dump") {
            const ULONGLONG started = ::GetTickCount64();
            const auto result = client.RequestDump(::GetCurrentThreadId(), nullptr, kDumpTimeoutMs);
            PrintFlushed("dump %s %llu\n", DumpWaitText(result), ::GetTickCount64() - started);
        } else if (command == "crash") {
            ::SetUnhandledExceptionFilter(OnUnhandledException);
            *static_cast<volatile int*>(nullptr) = 1;
        } else if (command.rfind("reporter ", 0) == 0) {
            const DWORD timeout = DWORD(std::strtoul(command.c_str() + 9, nullptr, 0));
            if (::WaitForSingleObject(launcher.ReporterProcess(), timeout) == WAIT_OBJECT_0) {
                DWORD code = 0;
                ::GetExitCodeProcess(launcher.ReporterProcess(), &code);
                PrintFlushed("reporter %lu\n", code);
            } else {
                PrintFlushed("reporter running\n");
            }
        } else if (command == "exit") {
            ::ExitProcess(0);
        }
    }
    return 0;
}
