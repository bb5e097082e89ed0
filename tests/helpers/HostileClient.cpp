// A hostile neighbour of the crash pipe: runs many broken handshakes in a row and exits.
//   HostileClient <pipe name> <seed> <count> [silent milliseconds [refused]]
// Each handshake is one of: connect and close; random bytes of a random length (0 to 64);
// a plausible registration with random addresses, counts and dump type (zero, huge and
// unmapped ones among them); a registration in the name of another process; an absurd
// annotation count; a too-long registration; hanging up after the registration, or after the
// reply without acknowledging; or, when a silent time is given, connecting and saying nothing
// for that long. Registrations that are accepted belong to this process and end with it.
// With "refused", every registration that the server would accept is spoiled first (one of
// its required fields zeroed, or its type changed), so that no handshake leaves a record.
// It prints "done <handshakes> <replies>" at the end, counting the handshakes that got a
// connection.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>

#include "CrashClient/CrashClient.h"

namespace {

enum Kind {
    kConnectAndClose,
    kRandomBytes,
    kRandomFields,
    kOtherProcess,
    kAbsurdCount,
    kTooLong,
    kHangUpAfterRegistration,
    kHangUpAfterReply,
    kSilent,
    kKindCount
};

bool Send(HANDLE pipe, const void* bytes, DWORD size)
{
    DWORD written = 0;
    return ::WriteFile(pipe, bytes, size, &written, nullptr) != FALSE;
}

bool ReceiveReply(HANDLE pipe)
{
    PipeMessage reply{};
    DWORD read = 0;
    return ::ReadFile(pipe, &reply, sizeof(reply), &read, nullptr) && read == sizeof(reply);
}

ClientWord SomeAddress(std::mt19937& random, ClientWord good)
{
    switch (random() % 4) {
        case 0:
            return 0;
        case 1:
            return ClientWord(0) - 16;  // the top of the address space
        case 2:
            return 0x10;  // never mapped
        default:
            return good;
    }
}

// Makes a registration that would be accepted from this process one that is refused.
void Spoil(PipeMessage& message, std::mt19937& random)
{
    if (!IsValidRegistration(message, sizeof(message)) ||
        message.processId != ::GetCurrentProcessId()) {
        return;
    }
    switch (random() % 4) {
        case 0:
            message.threadIdAddress = 0;
            break;
        case 1:
            message.exceptionPointersAddress = 0;
            break;
        case 2:
            message.clientBlockAddress = 0;
            break;
        default:
            message.messageType = static_cast<std::uint32_t>(PipeMessageType::RegisterReply);
            break;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        return 2;
    }
    const std::wstring pipeName = argv[1];
    std::mt19937 random(std::uint32_t(std::wcstoul(argv[2], nullptr, 10)));
    const unsigned long count = std::wcstoul(argv[3], nullptr, 10);
    const DWORD silentMs = argc > 4 ? DWORD(std::wcstoul(argv[4], nullptr, 10)) : 0;
    const bool refusedOnly = argc > 5 && std::wstring(argv[5]) == L"refused";

    CrashClient client(4);
    const PipeMessage good = client.MakeRegistration(0);
    unsigned long connected = 0;
    unsigned long replies = 0;
    for (unsigned long i = 0; i < count; ++i) {
        Kind kind = Kind(random() % kKindCount);
        if (kind == kSilent && silentMs == 0) {
            kind = kConnectAndClose;
        }
        win32::UniqueHandle pipe = ConnectToCrashPipe(pipeName, 10000);
        if (!pipe) {
            continue;
        }
        ++connected;
        PipeMessage message = good;
        auto sendRegistration = [&] {
            if (refusedOnly) {
                Spoil(message, random);
            }
            Send(pipe.get(), &message, sizeof(message));
        };
        std::uint8_t bytes[kPipeMessageSize + 28] = {};
        switch (kind) {
            case kConnectAndClose:
                break;
            case kRandomBytes: {
                for (auto& b : bytes) {
                    b = std::uint8_t(random());
                }
                if (random() % 2) {
                    std::memcpy(bytes, &good.messageType, sizeof(good.messageType));
                }
                Send(pipe.get(), bytes, DWORD(random() % 65));
                replies += ReceiveReply(pipe.get());
                break;
            }
            case kRandomFields:
                message.dumpType = random();
                message.threadIdAddress = SomeAddress(random, good.threadIdAddress);
                message.exceptionPointersAddress =
                    SomeAddress(random, good.exceptionPointersAddress);
                message.clientBlockAddress = SomeAddress(random, good.clientBlockAddress);
                message.annotationsAddress = SomeAddress(random, good.annotationsAddress);
                message.annotationCount = random() % 2 ? random() : good.annotationCount;
                sendRegistration();
                replies += ReceiveReply(pipe.get());
                break;
            case kOtherProcess:
                message.processId = random() % 2 ? 4 : random();
                sendRegistration();
                replies += ReceiveReply(pipe.get());
                break;
            case kAbsurdCount:
                message.annotationCount = 0xFFFFFFFFu - random() % 16;
                sendRegistration();
                replies += ReceiveReply(pipe.get());
                break;
            case kTooLong:
                std::memcpy(bytes, &good, sizeof(good));
                Send(pipe.get(), bytes, DWORD(sizeof(good) + 1 + random() % 20));
                replies += ReceiveReply(pipe.get());
                break;
            case kHangUpAfterRegistration:
                sendRegistration();
                break;
            case kHangUpAfterReply:
                sendRegistration();
                replies += ReceiveReply(pipe.get());
                break;
            case kSilent:
                ::Sleep(silentMs);
                break;
            case kKindCount:
                break;
        }
    }
    std::printf("done %lu %lu\n", connected, replies);
    std::fflush(stdout);
    return 0;
}
