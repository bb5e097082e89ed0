#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Packs the files of one crash report into one ZIP archive beside the dump: the chosen dump,
// the window bitmap when a client window is known, then every extra file.
class ReportArchive {
public:
    ReportArchive(const std::wstring& dumpDirectory, HWND clientWindow,
                  const std::vector<std::wstring>& extraFiles);

    // True when the archive was completed with the source dump in it. archivePath receives
    // the archive's path as soon as it is known, also on failure. A missing bitmap or extra
    // file is left out silently.
    bool Build(const std::wstring& sourceDumpPath, std::wstring& archivePath,
               const std::wstring& bitmapPath);

private:
    std::wstring dumpDirectory_;
    HWND clientWindow_;
    std::vector<std::wstring> extraFiles_;
};
