#pragma once

#include <cstddef>
#include <cstdint>

// The messages of the crash pipe handshake and the client memory layouts the server reads.
// Every field is a 32-bit little-endian value; addresses and handles are the client's own.

enum class PipeMessageType : std::uint32_t {
    Register = 1,
    RegisterReply = 2,
};

struct PipeMessage {
    std::uint32_t messageType;
    std::uint32_t processId;
    std::uint32_t dumpType;
    std::uint32_t threadIdAddress;
    std::uint32_t exceptionPointersAddress;
    std::uint32_t clientBlockAddress;
    std::uint32_t annotationsAddress;
    std::uint32_t annotationCount;
    std::uint32_t dumpRequestEvent;
    std::uint32_t dumpDoneEvent;
    std::uint32_t serverAliveMutex;
};

constexpr std::size_t kPipeMessageSize = 44;
static_assert(sizeof(PipeMessage) == kPipeMessageSize, "the wire message is 44 bytes");
static_assert(offsetof(PipeMessage, messageType) == 0, "wire layout");
static_assert(offsetof(PipeMessage, processId) == 4, "wire layout");
static_assert(offsetof(PipeMessage, dumpType) == 8, "wire layout");
static_assert(offsetof(PipeMessage, threadIdAddress) == 12, "wire layout");
static_assert(offsetof(PipeMessage, exceptionPointersAddress) == 16, "wire layout");
static_assert(offsetof(PipeMessage, clientBlockAddress) == 20, "wire layout");
static_assert(offsetof(PipeMessage, annotationsAddress) == 24, "wire layout");
static_assert(offsetof(PipeMessage, annotationCount) == 28, "wire layout");
static_assert(offsetof(PipeMessage, dumpRequestEvent) == 32, "wire layout");
static_assert(offsetof(PipeMessage, dumpDoneEvent) == 36, "wire layout");
static_assert(offsetof(PipeMessage, serverAliveMutex) == 40, "wire layout");

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

// Writes a message as its 44 wire bytes.
void EncodePipeMessage(const PipeMessage& message, std::uint8_t (&bytes)[kPipeMessageSize]);

// The validation rules for a client's Register message: exactly 44 bytes, type Register,
// and non-zero process id, thread-id address, exception-pointers address and client block.
bool IsValidRegistration(const PipeMessage& message, std::size_t bytesRead);

// The RegisterReply the server sends: all zero but its type, its own process id and the
// three handle values duplicated into the client.
PipeMessage MakeRegisterReply(std::uint32_t serverProcessId, std::uint32_t dumpRequestEvent,
                              std::uint32_t dumpDoneEvent, std::uint32_t serverAliveMutex);
