#pragma once

#include <zlib.h>

#include <cstddef>
#include <vector>

// The archive's deflate settings: level 5 with minizip's own stream defaults.
constexpr int kArchiveCompressionLevel = 5;
constexpr int kRawDeflateWindowBits = -MAX_WBITS;
constexpr int kDeflateMemoryLevel = 8;

// One raw deflate stream at the archive's settings, reused block after block. A block is
// compressed on its own, primed with the input just before it as preset dictionary, so that
// blocks compressed apart still join into one deflate stream: every block but the last ends
// on a byte boundary (sync flush), the last one carries the final-block bit.
class BlockCompressor {
public:
    BlockCompressor() = default;
    ~BlockCompressor();
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    // Replaces output with the compressed form of input. dictionary may be empty (the first
    // block of a stream). False when zlib fails, which for these settings means no memory.
    bool Compress(const std::vector<unsigned char>& dictionary, const unsigned char* input,
                  std::size_t inputSize, bool last, std::vector<unsigned char>& output);

private:
    bool Prepare(const std::vector<unsigned char>& dictionary);

    z_stream stream_{};
    bool initialised_ = false;
};
