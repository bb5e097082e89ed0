#include <gtest/gtest.h>

#include "CrashReporter/dump/DumpNaming.h"

namespace {

TEST(DumpNaming, UuidTextReadsTheFirstThreeFieldsLittleEndian)
{
    const std::uint8_t uuid[kUuidBytes] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    EXPECT_EQ(FormatUuidText(uuid), L"33221100-5544-7766-8899-aabbccddeeff");
    const std::uint8_t zero[kUuidBytes] = {};
    EXPECT_EQ(FormatUuidText(zero), L"00000000-0000-0000-0000-000000000000");
}

TEST(DumpNaming, PathsUseTheDirectoryVerbatim)
{
    const std::wstring uuid = L"33221100-5544-7766-8899-aabbccddeeff";
    EXPECT_EQ(MakeNormalDumpPath(L"C:\\d", uuid), L"C:\\d\\" + uuid + L".dmp");
    EXPECT_EQ(MakeNormalDumpPath(L"C:\\d\\", uuid), L"C:\\d\\\\" + uuid + L".dmp");
    EXPECT_EQ(MakeNormalDumpPath(L"", uuid), L"\\" + uuid + L".dmp");
    EXPECT_EQ(FullDumpPathFor(L"C:\\d\\" + uuid + L".dmp"), L"C:\\d\\" + uuid + L"-full.dmp");
}

TEST(DumpNaming, FullMemoryBitSplitsTheTypes)
{
    EXPECT_FALSE(WantsFullMemoryPair(0));
    EXPECT_FALSE(WantsFullMemoryPair(0x1 | 0x4));
    EXPECT_TRUE(WantsFullMemoryPair(0x2));
    EXPECT_EQ(NormalDumpTypeFor(0x2 | 0x4 | 0x1000), 0x4u | 0x1000u);
    EXPECT_EQ(NormalDumpTypeFor(0x5), 0x5u);
}

}  // namespace
