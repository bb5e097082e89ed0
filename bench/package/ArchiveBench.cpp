// Times ReportArchive::Build on one dump against plain zlib deflate at level 5 of the same
// file on one thread, read in 16 KiB chunks and written to a file beside it, in alternating
// order.
//   ArchiveBench <dump path> <output folder> <repetitions> [keep]
// Prints for the driver:
//   workers <count>        compression threads the archive step uses on this machine
//   sample <archive|deflate> <seconds> <bytes written>
//   cpu <archive|deflate> <seconds>   processor time of all the program's threads in it
//   peak_ws <when> <bytes>
//   kept <path>            with "keep": the last archive is left behind
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "CrashReporter/package/ParallelDeflater.h"
#include "CrashReporter/package/ReportArchive.h"
#include "support/ProcessMemory.h"
#include "support/Stopwatch.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr int kLevel = 5;
constexpr DWORD kReadChunk = 16384;
constexpr DWORD kOutputChunk = 65536;

std::uint64_t FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void PrintSample(const char* who, double seconds, std::uint64_t bytes)
{
    std::printf("sample %s %.6f %llu\n", who, seconds, static_cast<unsigned long long>(bytes));
    std::fflush(stdout);
}

// User and kernel time of every thread of this process so far.
double ProcessCpuSeconds()
{
    FILETIME creation, exit, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        return 0;
    }
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    constexpr double kTicksPerSecond = 1e7;
    return static_cast<double>(ticks(kernel) + ticks(user)) / kTicksPerSecond;
}

void PrintCpu(const char* who, double seconds)
{
    std::printf("cpu %s %.3f\n", who, seconds);
    std::fflush(stdout);
}

void PrintPeak(const char* when)
{
    std::printf("peak_ws %s %llu\n", when, static_cast<unsigned long long>(PeakWorkingSetBytes()));
    std::fflush(stdout);
}

bool WriteAll(HANDLE file, const unsigned char* bytes, DWORD count)
{
    DWORD written = 0;
    return count == 0 || (::WriteFile(file, bytes, count, &written, nullptr) && written == count);
}

// The least a compressor of this file has to do: read, deflate, write.
bool Deflate(const std::wstring& source, const std::wstring& target)
{
    win32::UniqueHandle in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    win32::UniqueHandle out(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in || !out) {
        return false;
    }
    z_stream stream{};
    if (deflateInit(&stream, kLevel) != Z_OK) {
        return false;
    }
    std::vector<unsigned char> input(kReadChunk);
    std::vector<unsigned char> output(kOutputChunk);
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        DWORD read = 0;
        if (!::ReadFile(in.get(), input.data(), kReadChunk, &read, nullptr)) {
            ok = false;
            break;
        }
        flush = read == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input.data();
        stream.avail_in = read;
        do {
            stream.next_out = output.data();
            stream.avail_out = kOutputChunk;
            if (deflate(&stream, flush) == Z_STREAM_ERROR) {
                ok = false;
                break;
            }
            ok = WriteAll(out.get(), output.data(), kOutputChunk - stream.avail_out);
        } while (ok && stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::printf("usage: ArchiveBench <dump path> <folder> <repetitions> [keep]\n");
        return 2;
    }
    const std::wstring dump = argv[1];
    const std::wstring folder = argv[2];
    const int repetitions = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    const bool keep = argc > 4 && std::wcscmp(argv[4], L"keep") == 0;
    const std::wstring plain = folder + L"\\plain.z";

    ReportArchive archive(folder, nullptr, {});
    std::wstring archivePath;
    std::printf("workers %u\n", ParallelDeflater::MachineWorkerCount());
    PrintPeak("idle");
    bool ok = true;
    for (int i = 0; i < repetitions && ok; ++i) {
        for (int turn = 0; turn < 2 && ok; ++turn) {
            const bool archiveTurn = (turn == 0) == (i % 2 == 0);
            const double cpuBefore = ProcessCpuSeconds();
            Stopwatch clock;
            if (archiveTurn) {
                ok = archive.Build(dump, archivePath, L"");
                const double seconds = clock.Seconds();
                if (ok) {
                    PrintSample("archive", seconds, FileBytes(archivePath));
                    PrintCpu("archive", ProcessCpuSeconds() - cpuBefore);
                    if (i == 0) {
                        PrintPeak("archive");
                    }
                }
            } else {
                ok = Deflate(dump, plain);
                const double seconds = clock.Seconds();
                if (ok) {
                    PrintSample("deflate", seconds, FileBytes(plain));
                    PrintCpu("deflate", ProcessCpuSeconds() - cpuBefore);
                }
            }
        }
    }
    ::DeleteFileW(plain.c_str());
    PrintPeak("end");
    if (!ok) {
        std::printf("error\n");
    }
    if (keep && ok) {
        std::printf("kept %ls\n", archivePath.c_str());
    } else if (!archivePath.empty()) {
        ::DeleteFileW(archivePath.c_str());
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
