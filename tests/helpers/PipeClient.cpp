// A client application for the pipe server tests, driven line by line on standard input.
//   PipeClient <pipe name> <dump type> <mode> [annotation count]
// Modes change what the registration claims or how the handshake ends:
//   normal, badep (unreadable exception-pointers address), badblock (unreadable client block),
//   hugecount (an absurd annotation count), acklong (an acknowledgement one byte too long),
//   partialannotations (unterminated annotation text whose array runs into an uncommitted
//   page, so a read of it stops in the middle of an entry),
//   regdie (sends a valid registration and ends itself at once, without waiting for the reply:
//   nothing is printed),
//   high (the client's variables and block, its annotations and an exception record all lie in
//   memory allocated top-down: above 4 GiB in a 64-bit process).
// It prints "registered <server pid>" and "access <a> <b> <c>" (the granted access of the
// three handles it received), or "refused"; then answers the commands
//   dump                 request a dump and wait: "dump Done|ReporterGone|TimedOut|Failed"
//   dumps <n>            n requests in a row, each made the moment the last one is done (up to
//                        10 s each): "dumps <number done>"
//   request              set the request event only: "requested"
//   crash                request a dump with the exception record of the high mode (code
//                        0xE0000042, this thread): "crash Done|... <thread id>"
//   where                "where <lowest address of the high mode's memory>", or "where 0"
//   done                 "done 1" when dump-done is signalled, else "done 0"
//   alive                "alive 1" while the server-alive mutex is held by the server
//   exit                 end the process
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <new>
#include <string>

#include "CrashClient/CrashClient.h"
#include "CrashClient/SyntheticException.h"
#include "CrashProtocol/Annotations.h"

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
    char ack[kPipeMessageSize + 1] = {};
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
ClientWord StraddlingAnnotations()
{
    auto* pages = static_cast<std::uint8_t*>(
        ::VirtualAlloc(nullptr, 2 * kPageBytes, MEM_RESERVE, PAGE_NOACCESS));
    if (pages == nullptr ||
        ::VirtualAlloc(pages, kPageBytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        return 0;
    }
    std::wmemset(reinterpret_cast<wchar_t*>(pages), L'x', kPageBytes / sizeof(wchar_t));
    return reinterpret_cast<ClientWord>(pages + kStraddlingOffset);
}

constexpr DWORD kHighExceptionCode = 0xE0000042;

// What the high mode keeps in one top-down allocation: the client object (its thread id,
// exception-pointers value and block), the annotations, and an exception to report.
struct HighMemory {
    alignas(16) CONTEXT context;
    EXCEPTION_RECORD record;
    EXCEPTION_POINTERS pointers;
    alignas(16) unsigned char client[sizeof(CrashClient)];
    ClientAnnotation annotations[1];  // annotationCount of them
};

HighMemory* AllocateHigh(std::size_t annotationCount)
{
    const std::size_t size = sizeof(HighMemory) + annotationCount * sizeof(ClientAnnotation);
    void* memory =
        ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE);
    return memory == nullptr ? nullptr : new (memory) HighMemory;
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

    HighMemory* high = mode == L"high" ? AllocateHigh(annotationCount) : nullptr;
    if (mode == L"high" && high == nullptr) {
        std::printf("refused\n");
        return 1;
    }
    CrashClient ownClient(annotationCount);
    CrashClient& client = high != nullptr ? *new (high->client) CrashClient(annotationCount)
                                          : ownClient;
    for (std::size_t i = 0; i < annotationCount; ++i) {
        client.SetAnnotation(L"key" + std::to_wstring(i), L"value" + std::to_wstring(i));
    }
    PipeMessage registration = client.MakeRegistration(dumpType);
    if (high != nullptr) {
        // The table's own array is on the heap; a copy of it up here is what the server reads.
        for (std::size_t i = 0; i < annotationCount; ++i) {
            SetAnnotationText(high->annotations[i].name, L"key" + std::to_wstring(i));
            SetAnnotationText(high->annotations[i].value, L"value" + std::to_wstring(i));
        }
        registration.annotationsAddress = reinterpret_cast<ClientWord>(high->annotations);
    }
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
    if (mode == L"acklong") {
        if (!RegisterWithAcknowledgement(pipeName, registration, kPipeMessageSize + 1, reply)) {
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
        } else if (command == "crash" && high != nullptr) {
            ::RtlCaptureContext(&high->context);
            high->record = EXCEPTION_RECORD{};
            high->record.ExceptionCode = kHighExceptionCode;
            high->record.ExceptionAddress = reinterpret_cast<PVOID>(InstructionPointerOf(high->context));
            high->pointers = EXCEPTION_POINTERS{&high->record, &high->context};
            const DWORD self = ::GetCurrentThreadId();
            std::printf("crash %s %lu\n",
                        DumpWaitText(client.RequestDump(self, &high->pointers, 60000)), self);
        } else if (command == "where") {
            std::printf("where 0x%llx\n",
                        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(high)));
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
