#include "CrashReporter/package/ParallelDeflater.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <system_error>

namespace {

// An empty final block with fixed codes: what ends a stream whose blocks so far all ended
// with a sync flush.
constexpr unsigned char kEmptyFinalBlock[] = {0x03, 0x00};

}  // namespace

struct ParallelDeflater::Block {
    std::vector<unsigned char> input;
    std::size_t inputSize = 0;
    std::vector<unsigned char> dictionary;  // the input just before this block
    std::vector<unsigned char> output;
    std::uint32_t crc = 0;
    bool last = false;
    bool compressed = false;
    bool done = false;  // guarded by mutex_ while workers run
};

ParallelDeflater::ParallelDeflater(unsigned workerCount)
    : workerCount_(std::min(workerCount, kMaxWorkers))
{
}

ParallelDeflater::~ParallelDeflater()
{
    Stop();
}

unsigned ParallelDeflater::MachineWorkerCount()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
}

std::size_t ParallelDeflater::BlocksInFlight() const
{
    return kBlocksInFlightPerWorker * std::max(workerCount_, 1u) + 1;
}

void ParallelDeflater::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    stopping_ = false;
    free_.clear();
    blocks_.clear();
}

bool ParallelDeflater::Deflate(const Reader& read, const Writer& write, StreamTotals& totals)
{
    // Memory can run out on this thread at any step (a new block, a dictionary copy, a
    // reader's own): the stream then ends as after a failed block, and the reporter goes on.
    try {
        return DeflateBlocks(read, write, totals);
    } catch (const std::bad_alloc&) {
        Abandon();
        ReclaimBlocks();
        write(kEmptyFinalBlock, sizeof(kEmptyFinalBlock));
        return false;
    }
}

bool ParallelDeflater::DeflateBlocks(const Reader& read, const Writer& write, StreamTotals& totals)
{
    totals = StreamTotals{};
    Block* current = TakeFreeBlock();
    current->dictionary.clear();
    bool readOk = Fill(read, *current);
    for (;;) {
        // A full block is the last one only when nothing follows it, so the next block is
        // read before this one is handed over.
        Block* next = nullptr;
        if (readOk && current->inputSize == kBlockSize) {
            if (free_.empty() && blocks_.size() >= BlocksInFlight() &&
                !WriteOldest(write, totals)) {
                free_.push_back(current);
                Abandon();
                return false;
            }
            next = TakeFreeBlock();
            readOk = Fill(read, *next);
            if (next->inputSize == 0) {
                free_.push_back(next);
                next = nullptr;
            } else {
                next->dictionary.assign(current->input.begin() + (kBlockSize - kDictionarySize),
                                        current->input.begin() + kBlockSize);
            }
        }
        current->last = next == nullptr;
        Submit(current);
        if (next == nullptr) {
            break;
        }
        current = next;
    }
    while (!inFlight_.empty()) {
        if (!WriteOldest(write, totals)) {
            Abandon();
            return false;
        }
    }
    return readOk;
}

ParallelDeflater::Block* ParallelDeflater::TakeFreeBlock()
{
    // Blocks are made on first need, so a short input costs one block.
    if (free_.empty()) {
        auto made = std::make_unique<Block>();
        made->input.resize(kBlockSize);
        const std::size_t count = blocks_.size() + 1;
        blocks_.reserve(count);
        free_.reserve(count);
        inFlight_.reserve(count);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.reserve(count);
        }
        blocks_.push_back(std::move(made));
        free_.push_back(blocks_.back().get());
    }
    Block* block = free_.back();
    free_.pop_back();
    return block;
}

bool ParallelDeflater::Fill(const Reader& read, Block& block)
{
    block.inputSize = 0;
    while (block.inputSize < kBlockSize) {
        const std::size_t room = kBlockSize - block.inputSize;
        std::size_t got = 0;
        if (!read(block.input.data() + block.inputSize, room, got) || got > room) {
            return false;
        }
        if (got == 0) {
            break;
        }
        block.inputSize += got;
    }
    return true;
}

void ParallelDeflater::Submit(Block* block)
{
    inFlight_.push_back(block);
    if (workers_.empty() && !block->last) {
        StartWorkers();
    }
    if (workers_.empty()) {
        CompressBlock(callerCompressor_, *block);
        block->done = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        block->done = false;
        queue_.push_back(block);
    }
    queued_.notify_one();
}

void ParallelDeflater::StartWorkers()
{
    try {
        while (workers_.size() < workerCount_) {
            workers_.emplace_back(&ParallelDeflater::WorkerLoop, this);
        }
    } catch (const std::system_error&) {
        // Fewer workers, or none: the calling thread then compresses by itself.
    } catch (const std::bad_alloc&) {
        // The same.
    }
}

void ParallelDeflater::WorkerLoop()
{
    BlockCompressor compressor;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        Block* block = queue_.front();
        queue_.erase(queue_.begin());
        lock.unlock();
        CompressBlock(compressor, *block);
        lock.lock();
        block->done = true;
        finished_.notify_one();  // only the calling thread waits
    }
}

void ParallelDeflater::CompressBlock(BlockCompressor& compressor, Block& block)
{
    block.crc = static_cast<std::uint32_t>(
        crc32(0, block.input.data(), static_cast<uInt>(block.inputSize)));
    // An exception must not leave a worker; no memory for the output is a failed block.
    try {
        block.compressed = compressor.Compress(block.dictionary, block.input.data(),
                                               block.inputSize, block.last, block.output);
    } catch (const std::bad_alloc&) {
        block.compressed = false;
    }
}

void ParallelDeflater::WaitUntilDone(Block& block)
{
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&block] { return block.done; });
}

bool ParallelDeflater::WriteOldest(const Writer& write, StreamTotals& totals)
{
    Block* block = inFlight_.front();
    WaitUntilDone(*block);
    if (!block->compressed) {
        // Everything written so far ended with a sync flush: close the stream there.
        write(kEmptyFinalBlock, sizeof(kEmptyFinalBlock));
        return false;
    }
    bool written = false;
    try {
        written = write(block->output.data(), block->output.size());
    } catch (const std::bad_alloc&) {
        written = false;
    }
    if (!written) {
        return false;
    }
    totals.crc = static_cast<std::uint32_t>(
        crc32_combine(totals.crc, block->crc, static_cast<z_off_t>(block->inputSize)));
    totals.size += block->inputSize;
    inFlight_.erase(inFlight_.begin());
    free_.push_back(block);
    return true;
}

void ParallelDeflater::Abandon()
{
    // Workers may still hold blocks; they finish them, and nothing more is written.
    for (Block* block : inFlight_) {
        WaitUntilDone(*block);
        free_.push_back(block);
    }
    inFlight_.clear();
}

void ParallelDeflater::ReclaimBlocks()
{
    // After Abandon no worker holds a block, and a block taken but not yet submitted is idle.
    free_.clear();
    for (const auto& block : blocks_) {
        free_.push_back(block.get());
    }
}
