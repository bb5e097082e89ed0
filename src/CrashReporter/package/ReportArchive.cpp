#include "CrashReporter/package/ReportArchive.h"

#include "CrashReporter/package/ArchiveNaming.h"
#include "CrashReporter/package/ArchiveWriter.h"
#include "CrashReporter/package/ListMatchingFiles.h"

ReportArchive::ReportArchive(const std::wstring& dumpDirectory, HWND clientWindow,
                             const std::vector<std::wstring>& extraFiles)
    : dumpDirectory_(dumpDirectory), clientWindow_(clientWindow), extraFiles_(extraFiles)
{
}

bool ReportArchive::Build(const std::wstring& sourceDumpPath, std::wstring& archivePath,
                          const std::wstring& bitmapPath)
{
    ArchiveWriter writer;
    if (!writer.Open(dumpDirectory_, ArchiveNameSourceFor(sourceDumpPath), archivePath)) {
        return false;
    }
    if (!writer.AddFile(sourceDumpPath)) {
        writer.Close();
        return false;
    }
    if (clientWindow_ != nullptr) {
        writer.AddFile(bitmapPath);  // no bitmap written: the entry is left out
    }
    for (const std::wstring& pattern : extraFiles_) {
        for (const std::wstring& path : ListMatchingFiles(pattern)) {
            writer.AddFile(path);
        }
    }
    // An archive without its central directory is unreadable; the caller then sends the
    // plain dump instead.
    return writer.Close();
}
