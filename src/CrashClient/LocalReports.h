#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The reports the reporter leaves in its dump folder: an archive per report (and, after a
// failed upload, its dumps and screenshot), all named after the report's UUID. Left alone they
// pile up; an application may keep at most a number of reports or of bytes of them.

struct LocalReportLimits {
    std::uint32_t maxReports = 0;  // 0: no limit
    std::uint64_t maxBytes = 0;    // 0: no limit
    bool Limited() const { return maxReports != 0 || maxBytes != 0; }
};

// One file of the dump folder as the trimming sees it.
struct LocalReportFile {
    std::wstring name;           // the file name alone
    std::uint64_t bytes = 0;
    std::uint64_t writeTime = 0;  // FILETIME as a number: larger is newer
};

// The report a file name belongs to, when the reporter writes files of that name: the UUID of
// "<uuid>.zip", "<uuid>.dmp", "<uuid>-full.dmp" or "<uuid>.bmp" (upper- or lower-case hex).
// Empty for any other name, which the trimming never touches. Pure.
std::wstring LocalReportIdOf(const std::wstring& fileName);

// The files to remove so that what is left keeps within the limits: whole reports, oldest
// first (a report is as new as its newest file). Only finished reports, those whose archive is
// there, are ever removed; one still being made has none yet. Pure.
std::vector<std::wstring> LocalReportFilesToRemove(const std::vector<LocalReportFile>& files,
                                                   const LocalReportLimits& limits);

// The folder the reporter writes to: dumpDirectory as given when absolute, else beside the
// reporter program. Pure.
std::wstring LocalReportFolder(const std::wstring& reporterPath, const std::wstring& dumpDirectory);

// Removes the oldest finished reports of the folder beyond the limits. A file another process
// still holds open is left for the next time. Returns how many files went.
std::size_t TrimLocalReports(const std::wstring& folder, const LocalReportLimits& limits);
