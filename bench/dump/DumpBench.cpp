// Times DumpWriter::WriteDump against a bare MiniDumpWriteDump call of the same process with
// the same type, normal and full-memory, in alternating order.
//   DumpBench <BenchTarget.exe> <MiB> <output folder> <repetitions> [keep|bare-first]
// Prints one line per figure for the driver:
//   sample <normal|full> <writer|bare> <seconds> <bytes written>
//   peak_ws <when> <bytes>
//   kept <path>            with "keep": the last full dump the writer made is left behind
// The first repetition runs the writer first, so that the peak working set after its first
// full dump ("writer_full") is the writer's; "bare-first" swaps every turn, giving "bare_full".
#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "CrashReporter/dump/DumpWriter.h"
#include "support/ChildProcess.h"
#include "support/ProcessMemory.h"
#include "support/Stopwatch.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr std::uint32_t kNormalDumpType = MiniDumpNormal;
constexpr std::uint32_t kFullDumpType = MiniDumpWithFullMemory;

struct Target {
    HANDLE process = nullptr;
    DWORD processId = 0;
    ClientWord clientBlock = 0;
};

std::uint64_t FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring FullPathOf(const std::wstring& normalPath)
{
    return normalPath.substr(0, normalPath.size() - 4) + L"-full.dmp";
}

void PrintSample(const char* kind, const char* who, double seconds, std::uint64_t bytes)
{
    std::printf("sample %s %s %.6f %llu\n", kind, who, seconds,
                static_cast<unsigned long long>(bytes));
    std::fflush(stdout);
}

void PrintPeak(const char* when)
{
    std::printf("peak_ws %s %llu\n", when, static_cast<unsigned long long>(PeakWorkingSetBytes()));
    std::fflush(stdout);
}

// The writer's call as the pipe server makes it for an idle client: no exception, with the
// client block. Leaves the full dump behind when keepFull is set and it was written.
bool TimeWriter(DumpWriter& writer, const Target& target, std::uint32_t dumpType, bool keepFull,
                std::wstring& kept)
{
    std::wstring normalPath;
    Stopwatch clock;
    const bool written = writer.WriteDump(target.process, target.processId, 0, 0,
                                          target.clientBlock, dumpType, &normalPath);
    const double seconds = clock.Seconds();
    if (!written) {
        std::printf("error writer %lu\n", static_cast<unsigned long>(dumpType));
        return false;
    }
    const bool pair = (dumpType & kFullDumpType) != 0;
    const std::wstring fullPath = pair ? FullPathOf(normalPath) : std::wstring();
    const std::uint64_t bytes = FileBytes(normalPath) + (pair ? FileBytes(fullPath) : 0);
    PrintSample(pair ? "full" : "normal", "writer", seconds, bytes);
    ::DeleteFileW(normalPath.c_str());
    if (pair) {
        if (keepFull) {
            if (!kept.empty()) {
                ::DeleteFileW(kept.c_str());
            }
            kept = fullPath;
        } else {
            ::DeleteFileW(fullPath.c_str());
        }
    }
    return true;
}

bool TimeBare(const Target& target, const std::wstring& folder, std::uint32_t dumpType)
{
    const std::wstring path = folder + L"\\bare.dmp";
    Stopwatch clock;
    bool written = false;
    {
        win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        written = file && ::MiniDumpWriteDump(target.process, target.processId, file.get(),
                                              static_cast<MINIDUMP_TYPE>(dumpType), nullptr,
                                              nullptr, nullptr);
    }
    const double seconds = clock.Seconds();
    if (!written) {
        std::printf("error bare %lu\n", static_cast<unsigned long>(dumpType));
        return false;
    }
    PrintSample((dumpType & kFullDumpType) != 0 ? "full" : "normal", "bare", seconds,
                FileBytes(path));
    ::DeleteFileW(path.c_str());
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        std::printf(
            "usage: DumpBench <BenchTarget.exe> <MiB> <folder> <repetitions> [keep|bare-first]\n");
        return 2;
    }
    const std::wstring targetProgram = argv[1];
    const std::wstring mebibytes = argv[2];
    const std::wstring folder = argv[3];
    const int repetitions = static_cast<int>(std::wcstol(argv[4], nullptr, 10));
    const bool keep = argc > 5 && std::wcscmp(argv[5], L"keep") == 0;
    const bool bareFirst = argc > 5 && std::wcscmp(argv[5], L"bare-first") == 0;

    ChildProcess child;
    std::string line;
    if (!child.Start(L"\"" + targetProgram + L"\" " + mebibytes) || !child.ReadLine(line)) {
        std::printf("error target\n");
        return 1;
    }
    unsigned long processId = 0;
    unsigned long long clientBlock = 0;
    if (std::sscanf(line.c_str(), "%lu %llx", &processId, &clientBlock) != 2) {
        std::printf("error target %s\n", line.c_str());
        return 1;
    }
    Target target{child.Process(), child.Id(), static_cast<ClientWord>(clientBlock)};
    std::printf("target %ls %lu\n", mebibytes.c_str(), processId);

    DumpWriter writer(folder);
    std::wstring kept;
    PrintPeak("idle");
    // Libraries loaded and caches warm before the first timed call of either side.
    if (!TimeWriter(writer, target, kNormalDumpType, false, kept) ||
        !TimeBare(target, folder, kNormalDumpType)) {
        return 1;
    }
    std::printf("warmed\n");

    bool ok = true;
    for (int i = 0; i < repetitions && ok; ++i) {
        const bool writerFirst = (i % 2 == 0) != bareFirst;
        for (std::uint32_t type : {kNormalDumpType, kFullDumpType}) {
            const bool keepThis = keep && type == kFullDumpType;
            if (writerFirst) {
                ok = ok && TimeWriter(writer, target, type, keepThis, kept);
                if (ok && i == 0 && type == kFullDumpType) {
                    PrintPeak("writer_full");
                }
                ok = ok && TimeBare(target, folder, type);
            } else {
                ok = ok && TimeBare(target, folder, type);
                if (ok && i == 0 && type == kFullDumpType) {
                    PrintPeak("bare_full");
                }
                ok = ok && TimeWriter(writer, target, type, keepThis, kept);
            }
        }
    }
    PrintPeak("end");
    if (!kept.empty()) {
        std::printf("kept %ls\n", kept.c_str());
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
