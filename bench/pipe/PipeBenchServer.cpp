// Serves three pipes in one process: the project's CrashPipeServer; a bare server that answers
// the same register / reply / acknowledgement exchange on a pipe of the same shape without
// registering anyone; and the bare server doing the registration's kernel work as well
// (open the client, two events, three duplicated handles, two thread-pool waits), which
// separates the cost of that work from the cost of the state machine that drives it.
//   PipeBenchServer <project pipe name> <bare pipe name> <registering pipe name> <dump folder>
// Prints "listening" and "peak_ws idle <bytes>", then answers standard-input lines:
//   stats    "peak_ws <label> <bytes>" and "ws <label> <bytes>", label being the rest of the line
//   quit     shuts the project server down in order and exits
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CrashReporter/pipe/CrashPipeServer.h"
#include "CrashProtocol/PipeMessage.h"
#include "support/ProcessMemory.h"
#include "Win32/UniqueHandle.h"
#include "Win32/UniqueWait.h"

namespace {

// The project server's pipe shape: one instance, message mode, 64-byte buffers.
constexpr DWORD kPipeBufferBytes = 64;

VOID CALLBACK IgnoreWait(PVOID, BOOLEAN) {}

// What registering one client costs in kernel objects, kept for the process's lifetime like
// the project server keeps its records.
struct Registration {
    win32::UniqueHandle process;
    win32::UniqueHandle dumpRequest;
    win32::UniqueHandle dumpDone;
    win32::UniqueWait dumpRequestWait;
    win32::UniqueWait processExitWait;
};

bool Register(const PipeMessage& message, HANDLE aliveMutex, PipeMessage& reply,
              std::vector<Registration>& registrations)
{
    Registration r;
    r.process.reset(::OpenProcess(GENERIC_ALL, FALSE, message.processId));
    r.dumpRequest.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    r.dumpDone.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!r.process || !r.dumpRequest || !r.dumpDone) {
        return false;
    }
    HANDLE copies[3] = {};
    const HANDLE sources[3] = {r.dumpRequest.get(), r.dumpDone.get(), aliveMutex};
    const DWORD access[3] = {kClientDumpRequestAccess, kClientDumpDoneAccess,
                             kClientServerAliveAccess};
    for (int i = 0; i < 3; ++i) {
        if (!::DuplicateHandle(::GetCurrentProcess(), sources[i], r.process.get(), &copies[i],
                               access[i], FALSE, 0)) {
            return false;
        }
    }
    if (!::RegisterWaitForSingleObject(r.dumpRequestWait.put(), r.dumpRequest.get(), IgnoreWait,
                                       nullptr, INFINITE,
                                       WT_EXECUTEINWAITTHREAD | WT_EXECUTELONGFUNCTION) ||
        !::RegisterWaitForSingleObject(r.processExitWait.put(), r.process.get(), IgnoreWait,
                                       nullptr, INFINITE, WT_EXECUTEONLYONCE)) {
        return false;
    }
    reply = MakeRegisterReply(::GetCurrentProcessId(), std::uint32_t(std::uintptr_t(copies[0])),
                              std::uint32_t(std::uintptr_t(copies[1])),
                              std::uint32_t(std::uintptr_t(copies[2])));
    registrations.push_back(std::move(r));
    return true;
}

struct BareServer {
    HANDLE pipe = nullptr;
    HANDLE aliveMutex = nullptr;  // set when the server registers its clients
    std::vector<Registration> registrations;
};

DWORD WINAPI ServeBareHandshakes(PVOID context)
{
    BareServer& server = *static_cast<BareServer*>(context);
    const HANDLE pipe = server.pipe;
    for (;;) {
        if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
            continue;
        }
        PipeMessage message{};
        DWORD count = 0;
        if (::ReadFile(pipe, &message, sizeof(message), &count, nullptr) &&
            count == sizeof(message)) {
            PipeMessage reply = MakeRegisterReply(::GetCurrentProcessId(), 0, 0, 0);
            if ((server.aliveMutex == nullptr ||
                 Register(message, server.aliveMutex, reply, server.registrations)) &&
                ::WriteFile(pipe, &reply, sizeof(reply), &count, nullptr)) {
                ::ReadFile(pipe, &message, sizeof(message), &count, nullptr);
            }
        }
        ::DisconnectNamedPipe(pipe);
    }
}

win32::UniqueHandle CreateBarePipe(const wchar_t* name)
{
    return win32::UniqueHandle(
        ::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                           kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
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
    if (argc < 5) {
        std::printf(
            "usage: PipeBenchServer <project pipe> <bare pipe> <registering pipe> "
            "<dump folder>\n");
        return 2;
    }
    const std::wstring dumpFolder = argv[4];
    win32::UniqueHandle aliveMutex(::CreateMutexW(nullptr, TRUE, nullptr));
    win32::UniqueHandle barePipe = CreateBarePipe(argv[2]);
    win32::UniqueHandle registeringPipe = CreateBarePipe(argv[3]);
    if (!aliveMutex || !barePipe || !registeringPipe) {
        std::printf("error bare pipes\n");
        return 1;
    }
    BareServer bare;
    bare.pipe = barePipe.get();
    BareServer registering;
    registering.pipe = registeringPipe.get();
    registering.aliveMutex = aliveMutex.get();
    win32::UniqueHandle bareThread(
        ::CreateThread(nullptr, 0, ServeBareHandshakes, &bare, 0, nullptr));
    win32::UniqueHandle registeringThread(
        ::CreateThread(nullptr, 0, ServeBareHandshakes, &registering, 0, nullptr));
    {
        CrashPipeServer server(argv[1], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &dumpFolder);
        if (!bareThread || !registeringThread || !server.Start()) {
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
    // The bare servers' threads are still blocked in their connects; the process exit ends them.
    ::ExitProcess(0);
}
