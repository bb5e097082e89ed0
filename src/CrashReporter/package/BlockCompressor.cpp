#include "CrashReporter/package/BlockCompressor.h"

namespace {

// Room beyond deflateBound for the sync flush's empty stored block and its alignment.
constexpr std::size_t kFlushMargin = 16;
constexpr std::size_t kOutputGrowth = 4096;

}  // namespace

BlockCompressor::~BlockCompressor()
{
    if (initialised_) {
        deflateEnd(&stream_);
    }
}

bool BlockCompressor::Prepare(const std::vector<unsigned char>& dictionary)
{
    // The zlib state (about 256 KiB) is made once and reset for every block.
    if (!initialised_) {
        if (deflateInit2(&stream_, kArchiveCompressionLevel, Z_DEFLATED, kRawDeflateWindowBits,
                         kDeflateMemoryLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
            return false;
        }
        initialised_ = true;
    } else if (deflateReset(&stream_) != Z_OK) {
        return false;
    }
    return dictionary.empty() || deflateSetDictionary(&stream_, dictionary.data(),
                                                      static_cast<uInt>(dictionary.size())) == Z_OK;
}

bool BlockCompressor::Compress(const std::vector<unsigned char>& dictionary,
                               const unsigned char* input, std::size_t inputSize, bool last,
                               std::vector<unsigned char>& output)
{
    if (!Prepare(dictionary)) {
        return false;
    }
    output.resize(deflateBound(&stream_, static_cast<uLong>(inputSize)) + kFlushMargin);
    stream_.next_in = const_cast<unsigned char*>(input);
    stream_.avail_in = static_cast<uInt>(inputSize);
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    std::size_t produced = 0;
    for (;;) {
        stream_.next_out = output.data() + produced;
        stream_.avail_out = static_cast<uInt>(output.size() - produced);
        const int result = deflate(&stream_, flush);
        produced = output.size() - stream_.avail_out;
        if (result == Z_STREAM_ERROR || (result == Z_BUF_ERROR && stream_.avail_out != 0)) {
            return false;  // no progress despite room: never loop on it
        }
        // A sync flush is complete when deflate left output space unused; a finish when
        // it reports the end of the stream.
        const bool complete = last ? result == Z_STREAM_END : stream_.avail_out != 0;
        if (complete) {
            break;
        }
        output.resize(output.size() + kOutputGrowth);
    }
    output.resize(produced);
    return true;
}
