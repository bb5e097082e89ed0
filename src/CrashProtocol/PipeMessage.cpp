#include "CrashProtocol/PipeMessage.h"

namespace {

constexpr std::size_t kFieldCount = kPipeMessageSize / 4;

std::uint32_t* Fields(PipeMessage& message)
{
    return reinterpret_cast<std::uint32_t*>(&message);
}

const std::uint32_t* Fields(const PipeMessage& message)
{
    return reinterpret_cast<const std::uint32_t*>(&message);
}

}  // namespace

bool DecodePipeMessage(const void* bytes, std::size_t size, PipeMessage& message)
{
    if (size != kPipeMessageSize) {
        return false;
    }
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t* out = Fields(message);
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const std::uint8_t* b = in + 4 * i;
        out[i] = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                 std::uint32_t(b[3]) << 24;
    }
    return true;
}

void EncodePipeMessage(const PipeMessage& message, std::uint8_t (&bytes)[kPipeMessageSize])
{
    const std::uint32_t* in = Fields(message);
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        for (std::size_t k = 0; k < 4; ++k) {
            bytes[4 * i + k] = std::uint8_t(in[i] >> (8 * k));
        }
    }
}

bool IsValidRegistration(const PipeMessage& message, std::size_t bytesRead)
{
    return bytesRead == kPipeMessageSize &&
           message.messageType == static_cast<std::uint32_t>(PipeMessageType::Register) &&
           message.processId != 0 && message.threadIdAddress != 0 &&
           message.exceptionPointersAddress != 0 && message.clientBlockAddress != 0;
}

PipeMessage MakeRegisterReply(std::uint32_t serverProcessId, std::uint32_t dumpRequestEvent,
                              std::uint32_t dumpDoneEvent, std::uint32_t serverAliveMutex)
{
    PipeMessage reply{};
    reply.messageType = static_cast<std::uint32_t>(PipeMessageType::RegisterReply);
    reply.processId = serverProcessId;
    reply.dumpRequestEvent = dumpRequestEvent;
    reply.dumpDoneEvent = dumpDoneEvent;
    reply.serverAliveMutex = serverAliveMutex;
    return reply;
}
