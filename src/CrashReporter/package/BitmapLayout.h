#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "CrashProtocol/ReporterNames.h"

// Size and header arithmetic of the window bitmap file; pure, no system calls.

constexpr std::uint32_t kBitmapFileHeaderSize = 14;
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;
constexpr std::uint32_t kColourTableEntrySize = 4;
constexpr std::uint16_t kBitmapFileType = 0x4D42;  // "BM"
constexpr std::size_t kBitmapPathBufferLength = 260;

struct StoredBitmapFormat {
    std::uint16_t bitsPerPixel;
    std::uint32_t colourTableEntries;
    std::uint32_t infoBlockSize;  // info header + colour table
};

// The depth stored for a screen of the given depth (planes x bits per pixel): 1, 4 or 8 bits
// with a palette for shallow screens, 16 bits without one for every deeper screen.
StoredBitmapFormat StoredFormatForScreenDepth(std::uint16_t screenDepth);

// Bytes of one row, padded to a multiple of 4; 0 when the figure does not fit 32 bits.
std::uint32_t BitmapRowBytes(std::int32_t width, std::uint16_t bitsPerPixel);

// Bytes of all rows; 0 when the figure does not fit 32 bits or a dimension is not positive.
std::uint32_t BitmapImageSize(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel);

// The pixel buffer size for the image size the platform reported: the reported size, unless
// it is missing (0) or too small for the rows the pixel query will write.
std::uint32_t PixelDataSizeFor(std::uint32_t reportedImageSize, std::int32_t width,
                               std::int32_t height, std::uint16_t bitsPerPixel);

// The 14-byte file header in file order, little-endian.
std::array<std::uint8_t, kBitmapFileHeaderSize> MakeBitmapFileHeader(std::uint32_t infoBlockSize,
                                                                     std::uint32_t pixelDataSize);

// Writes the 40-byte info header (size, width, height, one plane, bits per pixel, BI_RGB) to
// the start of a zeroed info block.
void WriteBitmapInfoHeader(std::uint8_t* infoBlock, std::int32_t width, std::int32_t height,
                           std::uint16_t bitsPerPixel);

// basePath + ".bmp"; false when that does not fit the 260-character path buffer with its
// terminating zero.
bool MakeBitmapPath(const std::wstring& basePath, std::wstring& bitmapPath);
