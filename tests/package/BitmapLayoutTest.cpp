#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "CrashReporter/package/BitmapLayout.h"

namespace {

TEST(BitmapLayout, DepthTableCoversEveryScreenDepth)
{
    struct Row {
        std::uint16_t screen, bits;
        std::uint32_t entries, infoBlock;
    };
    const Row rows[] = {{0, 1, 2, 48},     {1, 1, 2, 48},     {2, 4, 16, 104},    {4, 4, 16, 104},
                        {5, 8, 256, 1064}, {8, 8, 256, 1064}, {9, 16, 0, 40},     {16, 16, 0, 40},
                        {24, 16, 0, 40},   {32, 16, 0, 40},   {0xFFFF, 16, 0, 40}};
    for (const Row& row : rows) {
        const StoredBitmapFormat format = StoredFormatForScreenDepth(row.screen);
        EXPECT_EQ(format.bitsPerPixel, row.bits) << row.screen;
        EXPECT_EQ(format.colourTableEntries, row.entries) << row.screen;
        EXPECT_EQ(format.infoBlockSize, row.infoBlock) << row.screen;
    }
}

TEST(BitmapLayout, RowsArePaddedToFourBytes)
{
    EXPECT_EQ(BitmapRowBytes(100, 16), 200u);
    EXPECT_EQ(BitmapRowBytes(101, 16), 204u);  // 202 bytes of pixels
    EXPECT_EQ(BitmapRowBytes(1, 1), 4u);
    EXPECT_EQ(BitmapRowBytes(33, 1), 8u);
    EXPECT_EQ(BitmapRowBytes(3, 4), 4u);
    EXPECT_EQ(BitmapRowBytes(5, 8), 8u);
    EXPECT_EQ(BitmapRowBytes(1920, 16), 3840u);
    EXPECT_EQ(BitmapRowBytes(0, 16), 0u);
}

TEST(BitmapLayout, ImageSizeIsRowsTimesHeightAndRefusesWhatDoesNotFit)
{
    EXPECT_EQ(BitmapImageSize(100, 50, 16), 10000u);
    EXPECT_EQ(BitmapImageSize(101, 1, 16), 204u);
    EXPECT_EQ(BitmapImageSize(1920, 1080, 16), 4147200u);
    EXPECT_EQ(BitmapImageSize(0, 50, 16), 0u);
    EXPECT_EQ(BitmapImageSize(100, 0, 16), 0u);
    EXPECT_EQ(BitmapImageSize(-4, 50, 16), 0u);
    EXPECT_EQ(BitmapImageSize(100, -50, 16), 0u);
    EXPECT_EQ(BitmapImageSize(0x7FFFFFFF, 0x7FFFFFFF, 16), 0u);
}

TEST(BitmapLayout, PixelBufferIsNeverSmallerThanTheRows)
{
    EXPECT_EQ(PixelDataSizeFor(0, 100, 50, 16), 10000u);      // not reported: computed
    EXPECT_EQ(PixelDataSizeFor(10000, 100, 50, 16), 10000u);  // reported and right
    EXPECT_EQ(PixelDataSizeFor(12000, 100, 50, 16), 12000u);  // reported larger: kept
    EXPECT_EQ(PixelDataSizeFor(16, 100, 50, 16), 10000u);     // too small for the rows
}

TEST(BitmapLayout, FileHeaderOfA100By50ImageAt16Bits)
{
    const auto header = MakeBitmapFileHeader(40, 10000);
    const std::vector<std::uint8_t> expected = {'B', 'M', 0x46, 0x27, 0,  0,  // 10,054
                                                0,   0,   0,    0,    54, 0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(header.begin(), header.end()), expected);
}

TEST(BitmapLayout, FileHeaderOfAn8BitImagePointsPastThePalette)
{
    const auto header = MakeBitmapFileHeader(1064, 4);
    EXPECT_EQ(header[10] | header[11] << 8 | header[12] << 16 | header[13] << 24, 1078);
    EXPECT_EQ(header[2] | header[3] << 8 | header[4] << 16 | header[5] << 24, 1082);
}

TEST(BitmapLayout, InfoHeaderFieldsAndTheRestLeftZero)
{
    std::vector<std::uint8_t> block(104, 0);
    WriteBitmapInfoHeader(block.data(), 101, 7, 4);
    const std::vector<std::uint8_t> expected = {40, 0, 0, 0, 101, 0, 0, 0, 7, 0,
                                                0,  0, 1, 0, 4,   0, 0, 0, 0, 0};  // BI_RGB
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + 20), expected);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 20, block.end()),
              std::vector<std::uint8_t>(84, 0));
}

TEST(BitmapLayout, BitmapPathMustFitTheBuffer)
{
    std::wstring path = L"untouched";
    ASSERT_TRUE(MakeBitmapPath(L"C:\\d\\abc", path));
    EXPECT_EQ(path, L"C:\\d\\abc.bmp");
    ASSERT_TRUE(MakeBitmapPath(std::wstring(255, L'x'), path));
    EXPECT_EQ(path.size(), 259u);
    path = L"untouched";
    EXPECT_FALSE(MakeBitmapPath(std::wstring(256, L'x'), path));
    EXPECT_EQ(path, L"untouched");
}

}  // namespace
