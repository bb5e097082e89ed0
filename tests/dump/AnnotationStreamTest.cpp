#include <gtest/gtest.h>

#include <cstring>

#include "CrashProtocol/Annotations.h"
#include "CrashReporter/dump/AnnotationStream.h"

namespace {

std::uint32_t CountOf(const std::vector<std::uint8_t>& stream)
{
    return stream[0] | stream[1] << 8 | stream[2] << 16 | std::uint32_t(stream[3]) << 24;
}

std::wstring TextAt(const std::vector<std::uint8_t>& stream, std::size_t offset)
{
    std::wstring text;
    for (std::size_t i = 0; i < kAnnotationTextUnits; ++i) {
        const wchar_t unit = wchar_t(stream[offset + 2 * i] | stream[offset + 2 * i + 1] << 8);
        if (unit == L'\0') {
            return text;
        }
        text += unit;
    }
    return L"<unterminated>";
}

TEST(AnnotationStreamTest, UnusedEntriesAreLeftOutAndPtimeStaysLast)
{
    ClientAnnotation entries[4] = {};
    SetAnnotationText(entries[0].name, L"user");
    SetAnnotationText(entries[0].value, L"someone");
    SetAnnotationText(entries[3].name, kElapsedAnnotationName);
    SetAnnotationText(entries[3].value, L"1500");
    const std::vector<std::uint8_t> stream = EncodeAnnotationStream(entries, 4);
    ASSERT_EQ(stream.size(), 4u + 2 * 256);
    EXPECT_EQ(CountOf(stream), 2u);
    EXPECT_EQ(TextAt(stream, 4), L"user");
    EXPECT_EQ(TextAt(stream, 4 + 128), L"someone");
    EXPECT_EQ(TextAt(stream, 4 + 256), L"ptime");
    EXPECT_EQ(TextAt(stream, 4 + 256 + 128), L"1500");
}

TEST(AnnotationStreamTest, TextThatFillsItsFieldIsTerminatedInTheStream)
{
    ClientAnnotation entry;
    for (auto& unit : entry.name)
        unit = L'n';  // what a client may leave behind
    for (auto& unit : entry.value)
        unit = 0x6771;
    const std::vector<std::uint8_t> stream = EncodeAnnotationStream(&entry, 1);
    EXPECT_EQ(TextAt(stream, 4), std::wstring(63, L'n'));
    EXPECT_EQ(TextAt(stream, 4 + 128), std::wstring(63, wchar_t(0x6771)));
}

TEST(AnnotationStreamTest, NoEntriesGiveACountOfZero)
{
    const std::vector<std::uint8_t> stream = EncodeAnnotationStream(nullptr, 0);
    ASSERT_EQ(stream.size(), 4u);
    EXPECT_EQ(CountOf(stream), 0u);
}

}  // namespace
