#include <gtest/gtest.h>

#include <cstring>

#include "CrashProtocol/PipeMessage.h"

namespace {

PipeMessage GoodRegistration()
{
    PipeMessage m{};
    m.messageType = 1;
    m.processId = 1234;
    m.threadIdAddress = 0x1000;
    m.exceptionPointersAddress = 0x1004;
    m.clientBlockAddress = 0x2000;
    return m;
}

// The little-endian number of size bytes at offset, as the peer of this width writes it.
std::uint64_t LittleEndianAt(const std::uint8_t* bytes, std::size_t offset, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | bytes[offset + i];
    }
    return value;
}

TEST(PipeMessageCodec, DecodesLittleEndianFieldsInWireOrder)
{
    std::uint8_t bytes[kPipeMessageSize];
    for (std::size_t i = 0; i < sizeof(bytes); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    PipeMessage m{};
    ASSERT_TRUE(DecodePipeMessage(bytes, sizeof(bytes), m));
    EXPECT_EQ(m.messageType, 0x03020100u);
    EXPECT_EQ(m.processId, 0x07060504u);
    EXPECT_EQ(m.annotationCount, LittleEndianAt(bytes, offsetof(PipeMessage, annotationCount), 4));
    EXPECT_EQ(m.threadIdAddress,
              LittleEndianAt(bytes, offsetof(PipeMessage, threadIdAddress), sizeof(ClientWord)));
    // The last field ends the message.
    EXPECT_EQ(offsetof(PipeMessage, serverAliveMutex) + sizeof(ClientWord), kPipeMessageSize);
    EXPECT_EQ(m.serverAliveMutex, LittleEndianAt(bytes, kPipeMessageSize - sizeof(ClientWord),
                                                 sizeof(ClientWord)));

    std::uint8_t again[kPipeMessageSize];
    EncodePipeMessage(m, again);
    EXPECT_EQ(0, std::memcmp(bytes, again, sizeof(bytes)));
    // The in-memory layout is the wire layout.
    EXPECT_EQ(0, std::memcmp(&m, bytes, sizeof(bytes)));
}

TEST(PipeMessageCodec, RefusesAnyOtherLength)
{
    std::uint8_t bytes[kPipeMessageSize + 1] = {};
    PipeMessage m{};
    EXPECT_FALSE(DecodePipeMessage(bytes, kPipeMessageSize - 1, m));
    EXPECT_FALSE(DecodePipeMessage(bytes, kPipeMessageSize + 1, m));
    EXPECT_FALSE(DecodePipeMessage(bytes, kOtherWidthPipeMessageSize, m));
    EXPECT_FALSE(DecodePipeMessage(bytes, 0, m));
}

TEST(RegistrationValidation, AcceptsAWellFormedRegistration)
{
    EXPECT_TRUE(IsValidRegistration(GoodRegistration(), kPipeMessageSize));
    PipeMessage anyOptional = GoodRegistration();
    anyOptional.dumpType = 0xFFFFFFFF;
    anyOptional.annotationsAddress = 0;
    anyOptional.annotationCount = 0xFFFFFFFF;
    anyOptional.dumpRequestEvent = 77;  // fields the server does not read
    EXPECT_TRUE(IsValidRegistration(anyOptional, kPipeMessageSize));
}

TEST(RegistrationValidation, RefusesEachBrokenRule)
{
    EXPECT_FALSE(IsValidRegistration(GoodRegistration(), kPipeMessageSize - 1));
    EXPECT_FALSE(IsValidRegistration(GoodRegistration(), kPipeMessageSize + 1));

    PipeMessage m = GoodRegistration();
    m.messageType = 2;
    EXPECT_FALSE(IsValidRegistration(m, kPipeMessageSize));
    m.messageType = 0;
    EXPECT_FALSE(IsValidRegistration(m, kPipeMessageSize));

    PipeMessage noProcess = GoodRegistration();
    noProcess.processId = 0;
    EXPECT_FALSE(IsValidRegistration(noProcess, kPipeMessageSize));
    ClientWord PipeMessage::*required[] = {&PipeMessage::threadIdAddress,
                                           &PipeMessage::exceptionPointersAddress,
                                           &PipeMessage::clientBlockAddress};
    for (auto field : required) {
        PipeMessage zeroed = GoodRegistration();
        zeroed.*field = 0;
        EXPECT_FALSE(IsValidRegistration(zeroed, kPipeMessageSize));
    }
}

TEST(OtherWidth, ARegistrationOfTheOtherWidthsSizeIsNamedAsSuch)
{
    const std::wstring text = OtherWidthRegistrationText(kOtherWidthPipeMessageSize);
    EXPECT_NE(text.find(std::to_wstring(kOtherWidthPipeMessageSize) + L" bytes refused"),
              std::wstring::npos)
        << text.c_str();
    EXPECT_NE(text.find(L"other width"), std::wstring::npos);
    EXPECT_TRUE(OtherWidthRegistrationText(kPipeMessageSize + 1).empty());
    EXPECT_TRUE(OtherWidthRegistrationText(0).empty());
}

TEST(RegisterReply, CarriesOnlyTypeServerIdAndHandles)
{
    PipeMessage reply = MakeRegisterReply(4242, 0x10, 0x14, 0x18);
    std::uint8_t bytes[kPipeMessageSize];
    EncodePipeMessage(reply, bytes);
    EXPECT_EQ(reply.messageType, 2u);
    EXPECT_EQ(reply.processId, 4242u);
    for (std::size_t i = offsetof(PipeMessage, dumpType); i < offsetof(PipeMessage, dumpRequestEvent);
         ++i) {
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
    }
    EXPECT_EQ(reply.dumpRequestEvent, 0x10u);
    EXPECT_EQ(reply.dumpDoneEvent, 0x14u);
    EXPECT_EQ(reply.serverAliveMutex, 0x18u);
}

}  // namespace
