#include "CrashReporter/package/BitmapLayout.h"

#include <limits>

namespace {

constexpr std::uint32_t kBiRgb = 0;

void PutLittleEndian(std::uint8_t* at, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool FitsUint32(std::int64_t value)
{
    return value >= 0 && value <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

StoredBitmapFormat StoredFormatForScreenDepth(std::uint16_t screenDepth)
{
    std::uint16_t bits;
    std::uint32_t entries;
    if (screenDepth <= 1) {
        bits = 1;
        entries = 2;
    } else if (screenDepth <= 4) {
        bits = 4;
        entries = 16;
    } else if (screenDepth <= 8) {
        bits = 8;
        entries = 256;
    } else {
        bits = 16;
        entries = 0;
    }
    return {bits, entries, kBitmapInfoHeaderSize + kColourTableEntrySize * entries};
}

std::uint32_t BitmapRowBytes(std::int32_t width, std::uint16_t bitsPerPixel)
{
    if (width < 0) {
        return 0;
    }
    const std::int64_t bytes = (std::int64_t(width) * bitsPerPixel + 31) / 32 * 4;
    return FitsUint32(bytes) ? static_cast<std::uint32_t>(bytes) : 0;
}

std::uint32_t BitmapImageSize(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel)
{
    if (width <= 0 || height <= 0) {
        return 0;
    }
    const std::int64_t size = std::int64_t(BitmapRowBytes(width, bitsPerPixel)) * height;
    return FitsUint32(size) ? static_cast<std::uint32_t>(size) : 0;
}

std::uint32_t PixelDataSizeFor(std::uint32_t reportedImageSize, std::int32_t width,
                               std::int32_t height, std::uint16_t bitsPerPixel)
{
    const std::uint32_t needed = BitmapImageSize(width, height, bitsPerPixel);
    return reportedImageSize < needed ? needed : reportedImageSize;
}

std::array<std::uint8_t, kBitmapFileHeaderSize> MakeBitmapFileHeader(std::uint32_t infoBlockSize,
                                                                     std::uint32_t pixelDataSize)
{
    std::array<std::uint8_t, kBitmapFileHeaderSize> header{};
    PutLittleEndian(&header[0], kBitmapFileType, 2);
    PutLittleEndian(&header[2], kBitmapFileHeaderSize + infoBlockSize + pixelDataSize, 4);
    // Bytes 6 to 9 are the two reserved words, left 0.
    PutLittleEndian(&header[10], kBitmapFileHeaderSize + infoBlockSize, 4);
    return header;
}

void WriteBitmapInfoHeader(std::uint8_t* infoBlock, std::int32_t width, std::int32_t height,
                           std::uint16_t bitsPerPixel)
{
    PutLittleEndian(infoBlock + 0, kBitmapInfoHeaderSize, 4);
    PutLittleEndian(infoBlock + 4, static_cast<std::uint32_t>(width), 4);
    PutLittleEndian(infoBlock + 8, static_cast<std::uint32_t>(height), 4);  // positive: bottom-up
    PutLittleEndian(infoBlock + 12, 1, 2);
    PutLittleEndian(infoBlock + 14, bitsPerPixel, 2);
    PutLittleEndian(infoBlock + 16, kBiRgb, 4);
}

bool MakeBitmapPath(const std::wstring& basePath, std::wstring& bitmapPath)
{
    const std::wstring path = basePath + kBitmapFileEnding;
    if (path.size() >= kBitmapPathBufferLength) {
        return false;
    }
    bitmapPath = path;
    return true;
}
