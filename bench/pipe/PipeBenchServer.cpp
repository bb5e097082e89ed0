// Serves two pipes in one process: the project's CrashPipeServer, and a bare server that
// answers the same register / reply / acknowledgement exchange on a pipe of the same shape
// without opening the client, making events or duplicating handles.
//   PipeBenchServer <project pipe name> <bare pipe name> <dump folder>
// Prints "listening" and "peak_ws idle <bytes>", then answers standard-input lines:
//   stats    "peak_ws <label> <bytes>" and "ws <label> <bytes>", label being the rest of the line
//   quit     shuts the project server down in order and exits
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "CrashReporter/pipe/CrashPipeServer.h"
#include "CrashReporter/pipe/PipeMessage.h"
#include "support/ProcessMemory.h"
#include "Win32/UniqueHandle.h"

namespace {

// The project server's pipe shape: one instance, message mode, 64-byte buffers.
constexpr DWORD kPipeBufferBytes = 64;

DWORD WINAPI ServeBareHandshakes(PVOID context)
{
    const HANDLE pipe = static_cast<HANDLE>(context);
    for (;;) {
        if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
            continue;
        }
        PipeMessage message{};
        DWORD count = 0;
        if (::ReadFile(pipe, &message, sizeof(message), &count, nullptr) &&
            count == sizeof(message)) {
            const PipeMessage reply = MakeRegisterReply(::GetCurrentProcessId(), 0, 0, 0);
            if (::WriteFile(pipe, &reply, sizeof(reply), &count, nullptr)) {
                ::ReadFile(pipe, &message, sizeof(message), &count, nullptr);
            }
        }
        ::DisconnectNamedPipe(pipe);
    }
}

void PrintMemory(const char* label)
{
    std::printf("peak_ws %s %llu\nws %s %llu\n", label,
                static_cast<unsigned long long>(PeakWorkingSetBytes()), label,
                static_cast<unsigned long long>(WorkingSetBytes()));
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::printf("usage: PipeBenchServer <project pipe> <bare pipe> <dump folder>\n");
        return 2;
    }
    const std::wstring dumpFolder = argv[3];
    win32::UniqueHandle barePipe(
        ::CreateNamedPipeW(argv[2], PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                           kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
    if (!barePipe) {
        std::printf("error bare pipe\n");
        return 1;
    }
    win32::UniqueHandle bareThread(
        ::CreateThread(nullptr, 0, ServeBareHandshakes, barePipe.get(), 0, nullptr));
    {
        CrashPipeServer server(argv[1], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &dumpFolder);
        if (!bareThread || !server.Start()) {
            std::printf("error start\n");
            return 1;
        }
        std::printf("listening\n");
        PrintMemory("idle");
        char line[128];
        while (std::fgets(line, sizeof(line), stdin) != nullptr) {
            line[std::strcspn(line, "\r\n")] = '\0';
            if (std::strncmp(line, "stats", 5) == 0) {
                PrintMemory(line[5] == ' ' ? line + 6 : "now");
            } else if (std::strcmp(line, "quit") == 0) {
                break;
            }
        }
    }
    std::printf("stopped\n");
    std::fflush(stdout);
    // The bare server's thread is still blocked in its connect; the process exit ends it.
    ::ExitProcess(0);
}
