// A client application for the pipe server tests, driven line by line on standard input.
//   PipeClient <pipe name> <dump type> <mode> [annotation count]
// Modes change what the registration claims or how the handshake ends:
//   normal, badep (unreadable exception-pointers address), badblock (unreadable client block),
//   hugecount (an absurd annotation count), ack45 (a 45-byte acknowledgement),
//   partialannotations (unterminated annotation text whose array runs into an uncommitted
//   page, so a read of it stops in the middle of an entry),
//   regdie (sends a valid registration and ends itself at once, without waiting for the reply:
//   nothing is printed).
// It prints "registered <server pid>" and "access <a> <b> <c>" (the granted access of the
// three handles it received), or "refused"; then answers the commands
//   dump                 request a dump and wait: "dump Done|ReporterGone|TimedOut|Failed"
//   dumps <n>            n requests in a row, each made the moment the last one is done (up to
//                        10 s each): "dumps <number done>"
//   request              set the request event only: "requested"
//   done                 "done 1" when dump-done is signalled, else "done 0"
//   alive                "alive 1" while the server-alive mutex is held by the server
//   exit                 end the process
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <string>

#include "CrashClient/CrashClient.h"

namespace {

// ObjectBasicInformation of NtQueryObject: the first field after Attributes is GrantedAccess.
struct ObjectBasicInformation {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG reserved[10];
    LARGE_INTEGER createTime;
};
using NtQueryObjectFunction = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

ACCESS_MASK GrantedAccess(HANDLE handle)
{
    static auto query = reinterpret_cast<NtQueryObjectFunction>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    ObjectBasicInformation info{};
    if (query == nullptr || query(handle, 0, &info, sizeof(info), nullptr) != 0) {
        return 0xFFFFFFFF;
    }
    return info.grantedAccess;
}

// The handshake done by hand, ending with an acknowledgement of the given length.
bool RegisterWithAcknowledgement(const std::wstring& pipeName, const PipeMessage& registration,
                                 DWORD ackLength, PipeMessage& reply)
{
    win32::UniqueHandle pipe = ConnectToCrashPipe(pipeName, 5000);
    DWORD n = 0;
    if (!pipe || !::WriteFile(pipe.get(), &registration, sizeof(registration), &n, nullptr) ||
        !::ReadFile(pipe.get(), &reply, sizeof(reply), &n, nullptr) || n != sizeof(reply)) {
        return false;
    }
    char ack[64] = {};
    ::WriteFile(pipe.get(), ack, ackLength, &n, nullptr);
    ::Sleep(200);  // let the server read it before the pipe closes
    return true;
}

constexpr std::size_t kPageBytes = 4096;
// The array starts this far before the end of its committed page: three whole entries and the
// name of a fourth fit, the fourth's value and a fifth entry lie in the uncommitted page.
constexpr std::size_t kStraddlingEntries = 5;
constexpr std::size_t kStraddlingOffset = kPageBytes - 3 * sizeof(ClientAnnotation) - 128;
constexpr DWORD kRepeatedDumpTimeoutMs = 10000;

// Two reserved pages, the first committed and filled with text that never ends.
std::uint32_t StraddlingAnnotations()
{
    auto* pages = static_cast<std::uint8_t*>(
        ::VirtualAlloc(nullptr, 2 * kPageBytes, MEM_RESERVE, PAGE_NOACCESS));
    if (pages == nullptr ||
        ::VirtualAlloc(pages, kPageBytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        return 0;
    }
    std::wmemset(reinterpret_cast<wchar_t*>(pages), L'x', kPageBytes / sizeof(wchar_t));
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pages + kStraddlingOffset));
}

// Sends the registration and ends this process before the server has answered.
int RegisterAndDie(const std::wstring& pipeName, const PipeMessage& registration)
{
    win32::UniqueHandle pipe = ConnectToCrashPipe(pipeName, 5000);
    DWORD n = 0;
    if (pipe) {
        ::WriteFile(pipe.get(), &registration, sizeof(registration), &n, nullptr);
    }
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        return 2;
    }
    const std::wstring pipeName = argv[1];
    const std::uint32_t dumpType = std::uint32_t(std::wcstoul(argv[2], nullptr, 0));
    const std::wstring mode = argv[3];
    const std::size_t annotationCount = argc > 4 ? std::wcstoul(argv[4], nullptr, 0) : 0;

    CrashClient client(annotationCount);
    for (std::size_t i = 0; i < annotationCount; ++i) {
        client.SetAnnotation(L"key" + std::to_wstring(i), L"value" + std::to_wstring(i));
    }
    PipeMessage registration = client.MakeRegistration(dumpType);
    if (mode == L"badep") {
        registration.exceptionPointersAddress = 0x10;
    } else if (mode == L"badblock") {
        registration.clientBlockAddress = 0x10;
    } else if (mode == L"hugecount") {
        registration.annotationCount = 0xFFFFFFFF;
        registration.annotationsAddress = 0x10000;
    } else if (mode == L"partialannotations") {
        registration.annotationsAddress = StraddlingAnnotations();
        registration.annotationCount = kStraddlingEntries;
    } else if (mode == L"regdie") {
        return RegisterAndDie(pipeName, registration);
    }

    HANDLE dumpRequest = nullptr;
    HANDLE dumpDone = nullptr;
    HANDLE alive = nullptr;
    PipeMessage reply{};
    if (mode == L"ack45") {
        if (!RegisterWithAcknowledgement(pipeName, registration, 45, reply)) {
            std::printf("refused\n");
            return 1;
        }
        dumpRequest = reinterpret_cast<HANDLE>(reply.dumpRequestEvent);
        dumpDone = reinterpret_cast<HANDLE>(reply.dumpDoneEvent);
        alive = reinterpret_cast<HANDLE>(reply.serverAliveMutex);
        std::printf("registered %u\n", reply.processId);
    } else {
        if (!client.Register(pipeName, registration, 5000)) {
            std::printf("refused\n");
            std::fflush(stdout);
            return 1;
        }
        dumpRequest = client.DumpRequestEvent();
        dumpDone = client.DumpDoneEvent();
        alive = client.ServerAliveMutex();
        std::printf("registered %u\n", client.ServerProcessId());
    }
    std::printf("access 0x%lx 0x%lx 0x%lx\n", GrantedAccess(dumpRequest), GrantedAccess(dumpDone),
                GrantedAccess(alive));
    std::fflush(stdout);

    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "dump") {
            std::printf("dump %s\n",
                        DumpWaitText(client.RequestDump(::GetCurrentThreadId(), nullptr, 60000)));
        } else if (command.rfind("dumps ", 0) == 0) {
            const int count = std::atoi(command.c_str() + 6);
            int done = 0;
            for (int i = 0; i < count; ++i) {
                done += client.RequestDump(::GetCurrentThreadId(), nullptr,
                                           kRepeatedDumpTimeoutMs) == CrashClient::DumpWait::Done;
            }
            std::printf("dumps %d\n", done);
        } else if (command == "request") {
            ::SetEvent(dumpRequest);
            std::printf("requested\n");
        } else if (command == "done") {
            std::printf("done %d\n", ::WaitForSingleObject(dumpDone, 0) == WAIT_OBJECT_0 ? 1 : 0);
        } else if (command == "alive") {
            const DWORD r = ::WaitForSingleObject(alive, 0);
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
                ::ReleaseMutex(alive);
            }
            std::printf("alive %d\n", r == WAIT_TIMEOUT ? 1 : 0);
        } else if (command == "exit") {
            std::fflush(stdout);
            ::ExitProcess(0);
        }
        std::fflush(stdout);
    }
    return 0;
}
