#include <gtest/gtest.h>
#include <zlib.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "CrashReporter/package/ParallelDeflater.h"

// Allocations in this program can be made to fail: the one that finds the count of the
// calling thread at zero throws, as operator new does when memory runs out. Other threads
// are never touched.
namespace {
thread_local long allocationsBeforeFailure = -1;  // -1: never fail
}  // namespace

void* operator new(std::size_t size)
{
    if (allocationsBeforeFailure == 0) {
        allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (allocationsBeforeFailure > 0) {
        --allocationsBeforeFailure;
    }
    if (void* memory = ::HeapAlloc(::GetProcessHeap(), 0, size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    if (memory != nullptr) {
        ::HeapFree(::GetProcessHeap(), 0, memory);
    }
}

void operator delete(void* memory, std::size_t) noexcept
{
    operator delete(memory);
}

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t kBlock = ParallelDeflater::kBlockSize;

// Half repeated records, half noise: blocks that compress, and matches across block borders.
Bytes MixedBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = (i / 4096) % 2 ? static_cast<unsigned char>(random())
                                  : static_cast<unsigned char>("crash record "[i % 13]);
    }
    return bytes;
}

Bytes NoiseBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&random] { return random(); });
    return bytes;
}

// The raw stream inflated with zlib; fails the test unless it is exactly one whole stream.
Bytes Inflate(const Bytes& stream)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -MAX_WBITS), Z_OK);
    Bytes out;
    unsigned char chunk[65536];
    z.next_in = const_cast<unsigned char*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof(chunk);
        result = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof(chunk) - z.avail_out));
    }
    EXPECT_EQ(result, Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
    inflateEnd(&z);
    return out;
}

Bytes PlainDeflate(const Bytes& input)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 5, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(input.size())));
    z.next_in = const_cast<unsigned char*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::uint32_t Crc(const Bytes& bytes)
{
    return static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// An input in memory, read at most maxRead bytes at a time, failing once failAt bytes are
// read; and the stream collected, with the write calls counted.
struct MemoryRun {
    explicit MemoryRun(const Bytes& source, std::size_t readSize = SIZE_MAX,
                       std::size_t failAfter = SIZE_MAX)
        : input(source), maxRead(readSize), failAt(failAfter)
    {
    }

    const Bytes& input;
    std::size_t maxRead;
    std::size_t failAt;
    std::size_t failWriteAt = SIZE_MAX;  // the write call that fails, counted from 0
    std::size_t position = 0;
    std::size_t blocksStarted = 0;
    std::size_t writes = 0;
    std::size_t widestGap = 0;  // blocks read ahead of the writes
    Bytes stream;
    StreamTotals totals;

    bool Deflate(ParallelDeflater& deflater)
    {
        const auto read = [this](unsigned char* buffer, std::size_t capacity, std::size_t& got) {
            got = std::min({capacity, maxRead, input.size() - position});
            if (position + got > failAt) {
                got = 0;
                return false;
            }
            if (got != 0 && position % kBlock == 0) {
                ++blocksStarted;
                widestGap = std::max(widestGap, blocksStarted - std::min(blocksStarted, writes));
            }
            std::memcpy(buffer, input.data() + position, got);
            position += got;
            return true;
        };
        const auto write = [this](const unsigned char* bytes, std::size_t count) {
            const std::size_t index = writes++;
            if (index == failWriteAt) {
                return false;
            }
            EXPECT_TRUE(failWriteAt == SIZE_MAX || index < failWriteAt)
                << "written after a failure";
            stream.insert(stream.end(), bytes, bytes + count);
            return true;
        };
        return deflater.Deflate(read, write, totals);
    }
};

TEST(ParallelDeflaterTest, EverySizeAroundTheBlockGivesOneStreamOfTheInput)
{
    const std::size_t sizes[] = {0, 1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 5};
    for (unsigned workers : {0u, 1u, 2u, 4u}) {
        ParallelDeflater deflater(workers);
        for (std::size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << workers << " workers, " << size << " bytes");
            const Bytes input = MixedBytes(size, static_cast<unsigned>(size));
            MemoryRun run(input);
            ASSERT_TRUE(run.Deflate(deflater));
            EXPECT_EQ(Inflate(run.stream), input);
            EXPECT_EQ(run.totals.size, size);
            EXPECT_EQ(run.totals.crc, Crc(input));
            if (size <= kBlock) {
                // One block is exactly what a single deflate call makes.
                EXPECT_EQ(run.stream, PlainDeflate(input));
            }
        }
    }
}

TEST(ParallelDeflaterTest, StreamDoesNotDependOnWorkersOrReadSizes)
{
    const Bytes input = MixedBytes(5 * kBlock + 777, 7);
    MemoryRun alone(input);
    ParallelDeflater callerOnly(0);
    ASSERT_TRUE(alone.Deflate(callerOnly));

    MemoryRun nibbled(input, 1000);
    ParallelDeflater four(4);
    ASSERT_TRUE(nibbled.Deflate(four));
    EXPECT_EQ(nibbled.stream, alone.stream);
    // Priming every block with the one before costs next to nothing against one stream.
    EXPECT_LT(alone.stream.size(), PlainDeflate(input).size() * 101 / 100);
}

TEST(ParallelDeflaterTest, LargeIncompressibleInputWithBoundedBlocksInFlight)
{
    const Bytes input = NoiseBytes(40 * kBlock + 3, 11);
    ParallelDeflater deflater(2);
    MemoryRun run(input);
    ASSERT_TRUE(run.Deflate(deflater));
    EXPECT_EQ(Inflate(run.stream), input);
    EXPECT_EQ(run.totals.crc, Crc(input));
    EXPECT_LE(run.widestGap, deflater.BlocksInFlight());
    EXPECT_LT(run.stream.size(), input.size() + input.size() / 100);
}

TEST(ParallelDeflaterTest, ReadFailureEndsAWholeStreamOfWhatWasReadBefore)
{
    const Bytes input = MixedBytes(8 * kBlock, 3);
    for (std::size_t failAt : {std::size_t{0}, 2 * kBlock, 2 * kBlock + 5000, 7 * kBlock + 1}) {
        SCOPED_TRACE(failAt);
        ParallelDeflater deflater(2);
        MemoryRun run(input, 5000, failAt);
        EXPECT_FALSE(run.Deflate(deflater));
        const Bytes before(input.begin(), input.begin() + run.position);
        EXPECT_LE(run.position, failAt);
        EXPECT_GT(run.position + 5000, failAt);
        EXPECT_EQ(Inflate(run.stream), before);
        EXPECT_EQ(run.totals.size, before.size());
        EXPECT_EQ(run.totals.crc, Crc(before));
    }
}

TEST(ParallelDeflaterTest, WriteFailureStopsWritingAndLeavesTheDeflaterUsable)
{
    const Bytes input = MixedBytes(12 * kBlock, 5);
    ParallelDeflater deflater(2);
    MemoryRun failing(input);
    failing.failWriteAt = 3;
    EXPECT_FALSE(failing.Deflate(deflater));
    EXPECT_EQ(failing.writes, 4u);

    MemoryRun next(input);
    ASSERT_TRUE(next.Deflate(deflater));
    EXPECT_EQ(Inflate(next.stream), input);
    deflater.Stop();
    MemoryRun afterStop(input);
    ASSERT_TRUE(afterStop.Deflate(deflater));
    EXPECT_EQ(afterStop.stream, next.stream);
}

TEST(ParallelDeflaterTest, NoMemoryOnTheCallingThreadEndsAWholeStreamAndLeavesTheDeflaterUsable)
{
    const Bytes input = MixedBytes(12 * kBlock, 6);
    constexpr long kMostAllocationsTried = 400;
    long failures = 0;
    for (long allowed = 0; allowed < kMostAllocationsTried; ++allowed) {
        SCOPED_TRACE(allowed);
        ParallelDeflater deflater(2);  // fresh, so that every block is made again
        MemoryRun run(input);
        run.stream.reserve(2 * input.size());  // the test's own writer allocates nothing
        allocationsBeforeFailure = allowed;
        const bool whole = run.Deflate(deflater);
        const bool failed = allocationsBeforeFailure == -1;
        allocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_TRUE(whole);
            EXPECT_EQ(Inflate(run.stream), input);
            break;  // every allocation of a whole run has been made to fail once
        }
        // A worker that could not be started leaves the work to this thread: still whole.
        ++failures;
        const Bytes prefix = Inflate(run.stream);
        EXPECT_EQ(prefix.size() == input.size(), whole);
        EXPECT_EQ(prefix.size(), run.totals.size);
        EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), input.begin()));
        EXPECT_EQ(run.totals.crc, Crc(prefix));

        MemoryRun next(input);
        ASSERT_TRUE(next.Deflate(deflater));
        EXPECT_EQ(Inflate(next.stream), input);
    }
    EXPECT_GT(failures, 2);  // a block, a dictionary copy and a hand-over at least
    EXPECT_LT(failures, kMostAllocationsTried);
}

}  // namespace
