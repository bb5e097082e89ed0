// Writes report archives and window bitmaps for readers outside the test programs:
//   WritePackageSamples settime <path>
//       sets the file's last-write time to 14:30:10 local time on 2 March 2015
//   WritePackageSamples archive <dump directory> <window 0|1> <source dump> <bitmap> [extra...]
//       prints "archive <path>" and "result <0|1>"
//   WritePackageSamples capture <base path> <client width> <client height>
//       captures a painted window of a helper process; prints "window <w> <h>", "result <0|1>"
//   WritePackageSamples capture-gone <base path>
//       captures a window that no longer exists; prints "result <0|1>"
// Paths are printed in UTF-8. Exit code 0 unless the command itself could not be carried out.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CrashReporter/package/ReportArchive.h"
#include "CrashReporter/package/WindowCapture.h"
#include "PackageTestFiles.h"
#include "TempDirectory.h"
#include "TestPaths.h"

using namespace testing_support;

namespace {

// The painter's top colour as a 16-bit pixel, to tell when it has reached the screen.
constexpr unsigned kTopPixel = (0xF0 >> 3) << 10 | (0x80 >> 3) << 5 | (0x10 >> 3);

void PrintLine(const char* key, const std::wstring& value)
{
    std::string utf8(
        ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, &utf8[0], int(utf8.size()), nullptr,
                          nullptr);
    std::printf("%s %s\n", key, utf8.c_str());
}

HWND StartPainter(ChildProcess& painter, const std::wstring& width, const std::wstring& height,
                  std::string& line)
{
    if (!painter.Start(ProgramPath(L"PaintedWindow.exe"), {width, height}) ||
        !painter.ReadLine(line)) {
        return nullptr;
    }
    return reinterpret_cast<HWND>(static_cast<UINT_PTR>(ParseNumbers(line).at(0)));
}

// The first pixel of the last stored row is the window's top-left corner.
bool ShowsTopColour(const std::wstring& path, int width, int height)
{
    const auto file = ReadWholeFile(path);
    const std::size_t row = ((std::size_t(width) * 16 + 31) / 32) * 4;
    const std::size_t at = 54 + row * (height - 1);
    return file.size() >= at + 2 && (unsigned(file[at] | file[at + 1] << 8) & 0x7FFF) == kTopPixel;
}

int Capture(const std::wstring& base, const std::wstring& width, const std::wstring& height)
{
    ChildProcess painter;
    std::string line;
    HWND window = StartPainter(painter, width, height, line);
    if (window == nullptr) {
        return 1;
    }
    const auto n = ParseNumbers(line);
    bool captured = false;
    for (int attempt = 0; attempt < 50; ++attempt) {
        WindowCapture capture;
        captured = capture.CaptureToFile(base, window);
        if (!captured || ShowsTopColour(base + L".bmp", int(n.at(1)), int(n.at(2)))) {
            break;
        }
        ::Sleep(100);
    }
    std::printf("window %llu %llu\nresult %d\n", n.at(1), n.at(2), captured ? 1 : 0);
    return 0;
}

int CaptureGone(const std::wstring& base)
{
    HWND window;
    {
        ChildProcess painter;
        std::string line;
        window = StartPainter(painter, L"20", L"20", line);
        if (window == nullptr) {
            return 1;
        }
    }
    for (int i = 0; i < 50 && ::IsWindow(window); ++i) {
        ::Sleep(100);
    }
    WindowCapture capture;
    std::printf("result %d\n", capture.CaptureToFile(base, window) ? 1 : 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"settime" && argc == 3) {
        return package_testing::SetLocalLastWriteTime(argv[2], package_testing::SampleLocalTime())
                   ? 0
                   : 1;
    }
    if (command == L"archive" && argc >= 6) {
        const HWND window = std::wcscmp(argv[3], L"0") == 0
                                ? nullptr
                                : reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x1234));
        const std::vector<std::wstring> extras(argv + 6, argv + argc);
        std::wstring archive;
        const bool built = ReportArchive(argv[2], window, extras).Build(argv[4], archive, argv[5]);
        PrintLine("archive", archive);
        std::printf("result %d\n", built ? 1 : 0);
        return 0;
    }
    if (command == L"capture" && argc == 5) {
        return Capture(argv[2], argv[3], argv[4]);
    }
    if (command == L"capture-gone" && argc == 3) {
        return CaptureGone(argv[2]);
    }
    std::fprintf(stderr, "usage: see the comment at the top of WritePackageSamples.cpp\n");
    return 2;
}
