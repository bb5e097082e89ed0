#pragma once

#include <cstdint>
#include <memory>

// The device-independent image of one window capture. The members are declared so that
// destruction releases the pixels first, then the info block.
struct CapturedImage {
    std::unique_ptr<std::uint8_t[]> infoBlock;  // BITMAPINFOHEADER, then the colour table
    std::unique_ptr<std::uint8_t[]> pixelData;  // bottom-up rows, each padded to 4 bytes
    std::uint32_t infoBlockSize = 0;
    std::uint32_t pixelDataSize = 0;
};
