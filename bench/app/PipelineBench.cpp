// Times each step of the crash report pipeline on one client process, the way the reporter
// runs them for one dump request: dump, window capture, archive, upload, diagnostic scan.
//   PipelineBench <BenchTarget.exe> <MiB> <collector host> <dump folder> <rounds>
// Prints, per dump type and round:
//   split <normal|full> dump <s> capture <s> archive <s> upload <s> scan <s> total <s>
//         bytes <archive bytes> uploaded <0|1> scanned <0|1>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "CrashReporter/app/ReportPaths.h"
#include "CrashReporter/diag/DiagnosticScan.h"
#include "CrashReporter/dump/DumpWriter.h"
#include "CrashReporter/package/ReportArchive.h"
#include "CrashReporter/package/WindowCapture.h"
#include "CrashReporter/upload/HttpUploader.h"
#include "support/ChildProcess.h"
#include "support/Stopwatch.h"

namespace {

constexpr std::uint32_t kFullMemoryDumpType = 0x2;

// A painted window of our own, served by a thread, to be captured like the client's.
HWND StartWindow()
{
    static HWND window = nullptr;
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread([ready] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = ::DefWindowProcW;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(GRAY_BRUSH));
        windowClass.lpszClassName = L"PipelineBenchWindow";
        ::RegisterClassW(&windowClass);
        window = ::CreateWindowExW(0, windowClass.lpszClassName, L"bench", WS_POPUP | WS_VISIBLE, 0,
                                   0, 800, 600, nullptr, nullptr, windowClass.hInstance, nullptr);
        ::SetEvent(ready);
        MSG message;
        while (window != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&message);
        }
    }).detach();
    ::WaitForSingleObject(ready, INFINITE);
    ::CloseHandle(ready);
    return window;
}

long long SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 6) {
        std::printf(
            "usage: PipelineBench <BenchTarget.exe> <MiB> <collector host> <folder> "
            "<rounds>\n");
        return 2;
    }
    const std::wstring collectorHost = argv[3];
    const std::wstring folder = argv[4];
    const int rounds = static_cast<int>(std::wcstol(argv[5], nullptr, 10));

    ChildProcess child;
    std::string line;
    unsigned long processId = 0;
    unsigned long long clientBlock = 0;
    if (!child.Start(L"\"" + std::wstring(argv[1]) + L"\" " + argv[2]) || !child.ReadLine(line) ||
        std::sscanf(line.c_str(), "%lu %llx", &processId, &clientBlock) != 2) {
        std::printf("error target\n");
        return 1;
    }
    const HWND window = StartWindow();
    DumpWriter writer(folder);
    const UploadParameters fields{{kUploadNameField, L"PipelineBench"}};

    for (std::uint32_t dumpType : {0u, kFullMemoryDumpType}) {
        for (int round = 0; round < rounds; ++round) {
            Stopwatch step;
            std::wstring dumpPath;
            if (!writer.WriteDump(child.Process(), child.Id(), 0, 0,
                                  static_cast<ClientWord>(clientBlock), dumpType, &dumpPath)) {
                std::printf("error dump\n");
                return 1;
            }
            const double dumpSeconds = step.Seconds();

            const std::wstring basePath = ReportBasePath(dumpPath);
            step.Restart();
            {
                WindowCapture capture;
                capture.CaptureToFile(basePath, window);
            }
            const double captureSeconds = step.Seconds();

            const std::wstring fullDumpPath = ReportFullDumpPath(basePath);
            const bool hasFullDump =
                ::GetFileAttributesW(fullDumpPath.c_str()) != INVALID_FILE_ATTRIBUTES;
            std::wstring archivePath;
            step.Restart();
            const bool archived = ReportArchive(folder, window, {})
                                      .Build(hasFullDump ? fullDumpPath : dumpPath, archivePath,
                                             ReportBitmapPath(basePath));
            const double archiveSeconds = step.Seconds();

            step.Restart();
            const bool uploaded =
                HttpUploader::UploadFile(ReportUploadUrl(collectorHost), fields,
                                         archived ? archivePath : dumpPath, kUploadFilePart);
            const double uploadSeconds = step.Seconds();

            step.Restart();
            const bool scanned = RunDiagnosticScan();
            const double scanSeconds = step.Seconds();

            std::printf(
                "split %s dump %.3f capture %.3f archive %.3f upload %.3f scan %.3f "
                "total %.3f bytes %lld uploaded %d scanned %d\n",
                dumpType == 0 ? "normal" : "full", dumpSeconds, captureSeconds, archiveSeconds,
                uploadSeconds, scanSeconds,
                dumpSeconds + captureSeconds + archiveSeconds + uploadSeconds + scanSeconds,
                archived ? SizeOf(archivePath) : -1, uploaded ? 1 : 0, scanned ? 1 : 0);
            std::fflush(stdout);
            for (const std::wstring& path :
                 {dumpPath, fullDumpPath, ReportBitmapPath(basePath), archivePath}) {
                ::DeleteFileW(path.c_str());
            }
        }
    }
    child.Terminate();
    return 0;
}
