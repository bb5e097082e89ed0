#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The messages of the crash pipe handshake and the client memory layouts the server reads.
// A reporter serves clients of its own width. Between 32-bit processes every field is a 32-bit
// little-endian value (44 bytes); between 64-bit processes the addresses and handles are 64-bit
// and two reserved words keep them naturally aligned (80 bytes). Addresses and handles are the
// client's own.

enum class PipeMessageType : std::uint32_t {
    Register = 1,
    RegisterReply = 2,
};

// An address in the client or a handle value valid there, at the width of both processes.
using ClientWord = std::uintptr_t;

struct PipeMessage {
    std::uint32_t messageType;
    std::uint32_t processId;
    std::uint32_t dumpType;
#ifdef _WIN64
    std::uint32_t reserved0;  // zero
#endif
    ClientWord threadIdAddress;
    ClientWord exceptionPointersAddress;
    ClientWord clientBlockAddress;
    ClientWord annotationsAddress;
    std::uint32_t annotationCount;
#ifdef _WIN64
    std::uint32_t reserved1;  // zero
#endif
    ClientWord dumpRequestEvent;
    ClientWord dumpDoneEvent;
    ClientWord serverAliveMutex;
};

constexpr std::size_t kPipeMessageSize32 = 44;
constexpr std::size_t kPipeMessageSize64 = 80;
constexpr std::size_t kPipeMessageSize = sizeof(PipeMessage);
// What a client of the other width sends: named when such a registration is refused.
constexpr std::size_t kOtherWidthPipeMessageSize =
    kPipeMessageSize == kPipeMessageSize32 ? kPipeMessageSize64 : kPipeMessageSize32;

#ifdef _WIN64
static_assert(kPipeMessageSize == kPipeMessageSize64, "the 64-bit wire message is 80 bytes");
static_assert(offsetof(PipeMessage, threadIdAddress) == 16, "wire layout");
static_assert(offsetof(PipeMessage, annotationCount) == 48, "wire layout");
static_assert(offsetof(PipeMessage, dumpRequestEvent) == 56, "wire layout");
static_assert(offsetof(PipeMessage, serverAliveMutex) == 72, "wire layout");
#else
static_assert(kPipeMessageSize == kPipeMessageSize32, "the 32-bit wire message is 44 bytes");
static_assert(offsetof(PipeMessage, threadIdAddress) == 12, "wire layout");
static_assert(offsetof(PipeMessage, exceptionPointersAddress) == 16, "wire layout");
static_assert(offsetof(PipeMessage, clientBlockAddress) == 20, "wire layout");
static_assert(offsetof(PipeMessage, annotationsAddress) == 24, "wire layout");
static_assert(offsetof(PipeMessage, annotationCount) == 28, "wire layout");
static_assert(offsetof(PipeMessage, dumpRequestEvent) == 32, "wire layout");
static_assert(offsetof(PipeMessage, dumpDoneEvent) == 36, "wire layout");
static_assert(offsetof(PipeMessage, serverAliveMutex) == 40, "wire layout");
#endif
static_assert(offsetof(PipeMessage, messageType) == 0, "wire layout");
static_assert(offsetof(PipeMessage, processId) == 4, "wire layout");
static_assert(offsetof(PipeMessage, dumpType) == 8, "wire layout");

// Access rights of the three handles duplicated into a registered client.
constexpr std::uint32_t kClientDumpRequestAccess = 0x00000002;  // EVENT_MODIFY_STATE
constexpr std::uint32_t kClientDumpDoneAccess = 0x00100002;     // SYNCHRONIZE | EVENT_MODIFY_STATE
constexpr std::uint32_t kClientServerAliveAccess = 0x00100000;  // SYNCHRONIZE

// MiniDumpWithFullMemory: asks for a full-memory dump beside the normal one.
constexpr std::uint32_t kFullMemoryDumpBit = 0x00000002;

// The opaque block the client keeps for its dumps, copied into each as a user stream.
constexpr std::size_t kClientBlockSize = 776;

constexpr std::size_t kAnnotationTextUnits = 64;

struct ClientAnnotation {
    wchar_t name[kAnnotationTextUnits];   // NUL-terminated UTF-16
    wchar_t value[kAnnotationTextUnits];  // NUL-terminated UTF-16
};
static_assert(sizeof(wchar_t) == 2, "annotations are UTF-16");
static_assert(sizeof(ClientAnnotation) == 256, "the client's annotation entry is 256 bytes");
static_assert(offsetof(ClientAnnotation, value) == 128, "client memory layout");

// Reads a message from raw bytes as they came off the pipe (little-endian fields).
// Returns false when the byte count is not exactly one message.
bool DecodePipeMessage(const void* bytes, std::size_t size, PipeMessage& message);

// Writes a message as its wire bytes.
void EncodePipeMessage(const PipeMessage& message, std::uint8_t (&bytes)[kPipeMessageSize]);

// The validation rules for a client's Register message: exactly one message, type Register,
// and non-zero process id, thread-id address, exception-pointers address and client block.
bool IsValidRegistration(const PipeMessage& message, std::size_t bytesRead);

// The debug line for a registration of the other width's size: such a client was built for
// the other width and can never be served by this reporter. Empty for any other size, which is
// refused without a word.
std::wstring OtherWidthRegistrationText(std::size_t messageSize);

// The RegisterReply the server sends: all zero but its type, its own process id and the
// three handle values duplicated into the client.
PipeMessage MakeRegisterReply(std::uint32_t serverProcessId, ClientWord dumpRequestEvent,
                              ClientWord dumpDoneEvent, ClientWord serverAliveMutex);
