#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CrashReporter/package/BlockCompressor.h"

// The length and CRC-32 of the uncompressed bytes a deflate stream holds.
struct StreamTotals {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

// Turns one input into one raw deflate stream using every core: the calling thread reads the
// input in blocks, in order; worker threads compress the blocks apart (BlockCompressor); the
// calling thread writes the compressed blocks in input order. At most
// BlocksInFlight() blocks exist at once, whatever the input's length.
//
// Workers start when an input longer than one block arrives and stay until Stop or
// destruction; shorter inputs, and every input when no worker can be started, are
// compressed on the calling thread.
class ParallelDeflater {
public:
    // Reads up to capacity bytes into buffer and stores how many; 0 at the end of the input.
    // False on a read error.
    using Reader =
        std::function<bool(unsigned char* buffer, std::size_t capacity, std::size_t& read)>;
    // Takes the next compressed bytes. False on a write error.
    using Writer = std::function<bool(const unsigned char* bytes, std::size_t count)>;

    static constexpr std::size_t kBlockSize = 256 * 1024;
    // Deflate's window: a block primed with this much of the input before it loses nothing.
    static constexpr std::size_t kDictionarySize = 32 * 1024;
    static constexpr unsigned kMaxWorkers = 8;
    static constexpr unsigned kBlocksInFlightPerWorker = 2;

    // workerCount 0 compresses everything on the calling thread.
    explicit ParallelDeflater(unsigned workerCount);
    ~ParallelDeflater();
    ParallelDeflater(const ParallelDeflater&) = delete;
    ParallelDeflater& operator=(const ParallelDeflater&) = delete;

    // The machine's processor count, at least 1 and at most kMaxWorkers.
    static unsigned MachineWorkerCount();

    // Block buffers (input, dictionary, output) that can exist at once: two per worker being
    // compressed or waiting to be written, and one being read.
    std::size_t BlocksInFlight() const;

    // Reads the input to its end and writes it as one deflate stream; totals covers what
    // was written. True when the whole input was read, compressed and written. After a read
    // or compression failure, or no memory on the calling thread, what was written is still a
    // complete stream of the input before the failure; after a write failure nothing more is
    // written. No exception leaves it (a writer's std::bad_alloc is a write failure).
    bool Deflate(const Reader& read, const Writer& write, StreamTotals& totals);

    // Ends the workers and frees the block buffers.
    void Stop();

private:
    struct Block;

    bool DeflateBlocks(const Reader& read, const Writer& write, StreamTotals& totals);
    Block* TakeFreeBlock();
    static bool Fill(const Reader& read, Block& block);
    void Submit(Block* block);
    void StartWorkers();
    void WorkerLoop();
    static void CompressBlock(BlockCompressor& compressor, Block& block);
    void WaitUntilDone(Block& block);
    bool WriteOldest(const Writer& write, StreamTotals& totals);
    void Abandon();
    void ReclaimBlocks();

    const unsigned workerCount_;
    BlockCompressor callerCompressor_;

    // Used by the calling thread only. The lists of blocks have room for every block, made
    // when the block is, so that handing a block on never allocates: a block is never half
    // handed over when memory runs out.
    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<Block*> free_;
    std::vector<Block*> inFlight_;  // submitted, in input order

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::vector<Block*> queue_;  // submitted, not yet taken by a worker, oldest first
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
