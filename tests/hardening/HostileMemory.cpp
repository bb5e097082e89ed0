// A registered client whose memory the reporter cannot trust, for the robustness tests.
//   HostileMemory <pipe name> <mode> [wait milliseconds]
// The thread id, the exception-pointers value, the client block and the annotations live in
// pages of their own, so a mode can point them at nothing, fill them with junk, take the
// access away, or unmap them, before or during a dump request. Modes:
//   annotations-unmapped, annotations-unterminated, annotations-partial (the array runs into
//   an uncommitted page), ep-unmapped, ep-junk-record (exception pointers whose record and
//   context point at nothing), ep-random-record (exception pointers of random bytes),
//   block-unmapped, block-noaccess, block-partial (the block runs into an uncommitted page),
//   unmap-during (the pages go away right after the request is made).
// It prints "registered" or "refused", then "platform wine|windows" (Wine lets a
// cross-process read see pages that are released or without access), then "first <result>" for the
// hostile request and, where the mode's damage can be undone, "second <result>" for a request after
// repairing it; a result is Done, ReporterGone, TimedOut or Failed. Then it waits for "exit" on
// standard input (or its end), so the caller decides when its exit ends the reporter's run.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>

#include "CrashClient/CrashClient.h"
#include "VirtualRegion.h"

namespace {

constexpr std::size_t kPage = 4096;
constexpr DWORD kRegisterTimeoutMs = 20000;
constexpr DWORD kDefaultWaitMs = 8000;
constexpr DWORD kSettleMs = 500;
constexpr std::uint32_t kAnnotationCount = 4;
// Enough entries that the array cannot fit in the one committed page.
constexpr std::uint32_t kStraddlingAnnotationCount = kPage / sizeof(ClientAnnotation) + 8;
// Where a straddling client block starts: 100 bytes before the uncommitted page.
constexpr std::size_t kStraddlingBlockOffset = kPage - 100;

// Offsets in the values page.
constexpr std::size_t kThreadIdOffset = 0;
constexpr std::size_t kExceptionPointersOffset = sizeof(ClientWord);
constexpr std::size_t kRecordOffset = 64;

struct Memory {
    VirtualRegion values{kPage, kPage};
    VirtualRegion block{2 * kPage, kPage};
    VirtualRegion annotations{2 * kPage, kPage};
    std::size_t blockOffset = 0;

    void SetExceptionPointers(ClientWord value)
    {
        std::memcpy(values.get() + kExceptionPointersOffset, &value, sizeof(value));
    }
    void SetThreadId(std::uint32_t value)
    {
        std::memcpy(values.get() + kThreadIdOffset, &value, sizeof(value));
    }
};

// An address that was mapped a moment ago and is not any more.
ClientWord UnmappedAddress()
{
    VirtualRegion gone(kPage, kPage);
    const ClientWord address = gone.Address();
    gone.Release();
    return address;
}

// The client library's request, but against our own pages; the optional step runs right
// after the request event is set.
template <typename AfterSet>
CrashClient::DumpWait Request(const CrashClient& client, DWORD waitMs, AfterSet afterSet)
{
    if (!::ResetEvent(client.DumpDoneEvent()) || !::SetEvent(client.DumpRequestEvent())) {
        return CrashClient::DumpWait::Failed;
    }
    afterSet();
    const HANDLE waits[] = {client.DumpDoneEvent(), client.ServerAliveMutex()};
    switch (::WaitForMultipleObjects(2, waits, FALSE, waitMs)) {
        case WAIT_OBJECT_0:
            return CrashClient::DumpWait::Done;
        case WAIT_OBJECT_0 + 1:
        case WAIT_ABANDONED_0 + 1:
            ::ReleaseMutex(client.ServerAliveMutex());
            return CrashClient::DumpWait::ReporterGone;
        case WAIT_TIMEOUT:
            return CrashClient::DumpWait::TimedOut;
        default:
            return CrashClient::DumpWait::Failed;
    }
}

void Print(const char* label, CrashClient::DumpWait result)
{
    std::printf("%s %s\n", label, DumpWaitText(result));
    std::fflush(stdout);
}

bool IsWine()
{
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

void FillUnterminated(ClientAnnotation* entries, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < kAnnotationTextUnits; ++k) {
            entries[i].name[k] = L'A';
            entries[i].value[k] = L'B';
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 2;
    }
    const std::wstring pipeName = argv[1];
    const std::wstring mode = argv[2];
    const DWORD waitMs = argc > 3 ? DWORD(std::wcstoul(argv[3], nullptr, 10)) : kDefaultWaitMs;

    Memory memory;
    if (!memory.values || !memory.block || !memory.annotations) {
        return 3;
    }
    CrashClient client;
    PipeMessage registration = client.MakeRegistration(0);
    registration.threadIdAddress = memory.values.Address() + kThreadIdOffset;
    registration.exceptionPointersAddress = memory.values.Address() + kExceptionPointersOffset;
    registration.annotationsAddress = memory.annotations.Address();
    registration.annotationCount = kAnnotationCount;
    if (mode == L"block-partial") {
        memory.blockOffset = kStraddlingBlockOffset;
    }
    registration.clientBlockAddress = memory.block.Address() + ClientWord(memory.blockOffset);
    if (mode == L"annotations-unmapped") {
        registration.annotationsAddress = UnmappedAddress();
    } else if (mode == L"annotations-partial") {
        registration.annotationCount = kStraddlingAnnotationCount;
    }
    auto* entries = reinterpret_cast<ClientAnnotation*>(memory.annotations.get());
    FillUnterminated(entries, kAnnotationCount);
    memory.SetThreadId(::GetCurrentThreadId());
    memory.SetExceptionPointers(0);

    if (!client.Register(pipeName, registration, kRegisterTimeoutMs)) {
        std::printf("refused\n");
        std::fflush(stdout);
        return 1;
    }
    std::printf("registered\nplatform %s\n", IsWine() ? "wine" : "windows");
    std::fflush(stdout);

    const ClientWord record = memory.values.Address() + kRecordOffset;
    auto* pointers = reinterpret_cast<ClientWord*>(memory.values.get() + kRecordOffset);
    bool repairable = false;
    auto nothing = [] {};
    if (mode == L"ep-unmapped") {
        memory.SetExceptionPointers(UnmappedAddress());
        repairable = true;
    } else if (mode == L"ep-junk-record") {
        pointers[0] = UnmappedAddress();  // ExceptionRecord
        pointers[1] = 0x10;               // ContextRecord
        memory.SetExceptionPointers(record);
        repairable = true;
    } else if (mode == L"ep-random-record") {
        std::mt19937 random(0x5eed);
        for (int i = 0; i < 16; ++i) {
            pointers[i] = random();
        }
        memory.SetExceptionPointers(record);
        repairable = true;
    } else if (mode == L"block-unmapped") {
        memory.block.Release();
    } else if (mode == L"block-noaccess") {
        DWORD old = 0;
        ::VirtualProtect(memory.block.get(), kPage, PAGE_NOACCESS, &old);
        repairable = true;
    }

    if (mode == L"unmap-during") {
        Print("first", Request(client, waitMs, [&] {
                  memory.block.Release();
                  memory.values.Release();
                  memory.annotations.Release();
              }));
    } else {
        Print("first", Request(client, waitMs, nothing));
    }
    if (repairable) {
        // The server resets the request event only after it has set dump-done, so a request
        // made the moment dump-done is seen can be wiped out by that reset.
        ::Sleep(kSettleMs);
        DWORD old = 0;
        ::VirtualProtect(memory.block.get(), kPage, PAGE_READWRITE, &old);
        memory.SetExceptionPointers(0);
        Print("second", Request(client, waitMs, nothing));
    }

    std::string command;
    while (std::getline(std::cin, command) && command != "exit") {
    }
    return 0;
}
