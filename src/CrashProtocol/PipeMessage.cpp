#include "CrashProtocol/PipeMessage.h"

#include <cstring>

// Windows is little-endian on every processor it runs on, and the message has no implicit
// padding, so its bytes in memory are its wire bytes.

bool DecodePipeMessage(const void* bytes, std::size_t size, PipeMessage& message)
{
    if (size != kPipeMessageSize) {
        return false;
    }
    std::memcpy(&message, bytes, kPipeMessageSize);
    return true;
}

void EncodePipeMessage(const PipeMessage& message, std::uint8_t (&bytes)[kPipeMessageSize])
{
    std::memcpy(bytes, &message, kPipeMessageSize);
}

bool IsValidRegistration(const PipeMessage& message, std::size_t bytesRead)
{
    return bytesRead == kPipeMessageSize &&
           message.messageType == static_cast<std::uint32_t>(PipeMessageType::Register) &&
           message.processId != 0 && message.threadIdAddress != 0 &&
           message.exceptionPointersAddress != 0 && message.clientBlockAddress != 0;
}

std::wstring OtherWidthRegistrationText(std::size_t messageSize)
{
    if (messageSize != kOtherWidthPipeMessageSize) {
        return {};
    }
    const wchar_t* const ownWidth = kPipeMessageSize == kPipeMessageSize64 ? L"64" : L"32";
    return L"Registration of " + std::to_wstring(messageSize) +
           L" bytes refused: this reporter is " + ownWidth + L"-bit and takes registrations of " +
           std::to_wstring(kPipeMessageSize) +
           L" bytes; the client was built for the other width\n";
}

PipeMessage MakeRegisterReply(std::uint32_t serverProcessId, ClientWord dumpRequestEvent,
                              ClientWord dumpDoneEvent, ClientWord serverAliveMutex)
{
    PipeMessage reply{};
    reply.messageType = static_cast<std::uint32_t>(PipeMessageType::RegisterReply);
    reply.processId = serverProcessId;
    reply.dumpRequestEvent = dumpRequestEvent;
    reply.dumpDoneEvent = dumpDoneEvent;
    reply.serverAliveMutex = serverAliveMutex;
    return reply;
}
