// A process to be dumped, of a chosen size: it commits and touches the given number of MiB,
// then prints "<process id> <client block address> <committed MiB>" and waits to be killed.
//   BenchTarget <MiB>
// The memory holds heap-like records (short words, pointer-like values, small counters and
// zero runs), so that dumps of it compress about as well as those of a real application
// rather than as well as zero pages.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// 32-bit address space is fragmented by Wine's own mappings: several moderate blocks fit
// where one large block would not.
constexpr std::size_t kBlockBytes = 16 * kMiB;
constexpr std::size_t kRecordBytes = 64;
constexpr std::size_t kClientBlockSize = 776;

unsigned char g_clientBlock[kClientBlockSize];

const char* const kWords[] = {"window", "thread", "module", "report", "buffer", "handle",
                              "config", "socket", "string", "vector", "record", "stream",
                              "layout", "cursor", "bitmap", "dialog"};

struct Generator {
    std::uint32_t state = 12345;
    std::uint32_t Next()
    {
        state = state * 1664525u + 1013904223u;
        return state;
    }
};

void FillRecord(unsigned char* record, Generator& random, std::uint32_t counter)
{
    const std::uint32_t r = random.Next();
    // 16 bytes of text: two words from a small vocabulary.
    std::memcpy(record, kWords[r & 15], 6);
    record[6] = ' ';
    std::memcpy(record + 7, kWords[(r >> 4) & 15], 6);
    record[13] = record[14] = record[15] = 0;
    // 16 bytes of heap-pointer-like values.
    auto* words = reinterpret_cast<std::uint32_t*>(record + 16);
    for (int i = 0; i < 4; ++i) {
        words[i] = 0x00A00000u + (random.Next() & 0x000FFFF0u);
    }
    // 32 bytes of a counter, a small flag word and zeros.
    words[4] = counter;
    words[5] = (r >> 8) & 0xFF;
    for (int i = 6; i < 12; ++i) {
        words[i] = 0;
    }
}

bool CommitAndTouch(std::size_t mebibytes)
{
    Generator random;
    std::uint32_t counter = 0;
    std::size_t remaining = mebibytes * kMiB;
    while (remaining > 0) {
        const std::size_t size = remaining < kBlockBytes ? remaining : kBlockBytes;
        auto* block = static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (block == nullptr) {
            return false;
        }
        for (std::size_t offset = 0; offset + kRecordBytes <= size; offset += kRecordBytes) {
            FillRecord(block + offset, random, counter++);
        }
        remaining -= size;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return 2;
    }
    const std::size_t mebibytes = std::wcstoul(argv[1], nullptr, 10);
    for (std::size_t i = 0; i < kClientBlockSize; ++i) {
        g_clientBlock[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    if (!CommitAndTouch(mebibytes)) {
        std::printf("failed\n");
        std::fflush(stdout);
        return 1;
    }
    std::printf("%lu 0x%llx %lu\n", static_cast<unsigned long>(::GetCurrentProcessId()),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(g_clientBlock)),
                static_cast<unsigned long>(mebibytes));
    std::fflush(stdout);
    ::Sleep(INFINITE);
    return 0;
}
