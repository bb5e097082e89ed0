// Times HttpUploader::UploadFile of one file to a collector, as the pipeline sends a report:
// the form field "name" and the file part "crashdump".
//   UploadBench <url> <file> <repetitions>
// It waits for one line on standard input before each upload, so that the driver can
// interleave its own uploads of the same file, and prints for the driver:
//   sample upload <seconds> <file bytes>
//   peak_ws <when> <bytes>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "CrashReporter/upload/HttpUploader.h"
#include "support/ProcessMemory.h"
#include "support/Stopwatch.h"

namespace {

std::uint64_t FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void PrintPeak(const char* when)
{
    std::printf("peak_ws %s %llu\n", when, static_cast<unsigned long long>(PeakWorkingSetBytes()));
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::printf("usage: UploadBench <url> <file> <repetitions>\n");
        return 2;
    }
    const std::wstring url = argv[1];
    const std::wstring file = argv[2];
    const int repetitions = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    const UploadParameters parameters{{L"name", L"bench"}};
    const std::uint64_t bytes = FileBytes(file);

    PrintPeak("idle");
    std::printf("ready\n");
    std::fflush(stdout);
    bool ok = true;
    char go[16];
    for (int i = 0; i < repetitions && ok && std::fgets(go, sizeof(go), stdin) != nullptr; ++i) {
        Stopwatch clock;
        ok = HttpUploader::UploadFile(url, parameters, file, L"crashdump");
        const double seconds = clock.Seconds();
        if (ok) {
            std::printf("sample upload %.6f %llu\n", seconds,
                        static_cast<unsigned long long>(bytes));
        } else {
            std::printf("error upload\n");
        }
        std::fflush(stdout);
    }
    PrintPeak("end");
    return ok ? 0 : 1;
}
