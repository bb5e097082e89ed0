#include "CrashClient/LocalReports.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>

#include "CrashProtocol/ReporterNames.h"
#include "Win32/UniqueFindHandle.h"

namespace {

constexpr std::size_t kUuidTextLength = 36;  // 8-4-4-4-12 hex digits
constexpr const wchar_t* kReportFileEndings[] = {kArchiveFileEnding, kDumpFileEnding,
                                                 kFullDumpFileEnding, kBitmapFileEnding};

bool IsUuidText(const std::wstring& text)
{
    if (text.size() != kUuidTextLength) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != L'-' : !std::iswxdigit(text[i])) {
            return false;
        }
    }
    return true;
}

bool EndsWith(const std::wstring& text, const std::wstring& ending)
{
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

bool IsAbsolute(const std::wstring& path)
{
    return (path.size() >= 2 && path[1] == L':') || (path.size() >= 1 && path[0] == L'\\');
}

struct Report {
    std::vector<std::wstring> files;
    std::uint64_t bytes = 0;
    std::uint64_t newest = 0;
    bool finished = false;
};

}  // namespace

std::wstring LocalReportIdOf(const std::wstring& fileName)
{
    for (const wchar_t* ending : kReportFileEndings) {
        if (EndsWith(fileName, ending)) {
            const std::wstring id = fileName.substr(0, fileName.size() - std::wcslen(ending));
            if (IsUuidText(id)) {
                return id;
            }
        }
    }
    return {};
}

std::vector<std::wstring> LocalReportFilesToRemove(const std::vector<LocalReportFile>& files,
                                                   const LocalReportLimits& limits)
{
    std::map<std::wstring, Report> reports;
    for (const LocalReportFile& file : files) {
        const std::wstring id = LocalReportIdOf(file.name);
        if (id.empty()) {
            continue;
        }
        Report& report = reports[id];
        report.files.push_back(file.name);
        report.bytes += file.bytes;
        report.newest = std::max(report.newest, file.writeTime);
        report.finished = report.finished || file.name == id + kArchiveFileEnding;
    }
    std::vector<const Report*> newestFirst;
    for (const auto& entry : reports) {
        newestFirst.push_back(&entry.second);
    }
    std::stable_sort(newestFirst.begin(), newestFirst.end(),
                     [](const Report* a, const Report* b) { return a->newest > b->newest; });

    // The newest reports are kept while they fit; a report in the making always stays and
    // counts, so that it pushes the oldest out rather than be pushed out itself.
    std::vector<std::wstring> remove;
    std::uint32_t keptReports = 0;
    std::uint64_t keptBytes = 0;
    for (const Report* report : newestFirst) {
        const bool fits = (limits.maxReports == 0 || keptReports < limits.maxReports) &&
                          (limits.maxBytes == 0 || keptBytes + report->bytes <= limits.maxBytes);
        if (fits || !report->finished) {
            ++keptReports;
            keptBytes += report->bytes;
        } else {
            remove.insert(remove.end(), report->files.begin(), report->files.end());
        }
    }
    return remove;
}

std::wstring LocalReportFolder(const std::wstring& reporterPath, const std::wstring& dumpDirectory)
{
    if (IsAbsolute(dumpDirectory)) {
        return dumpDirectory;
    }
    const std::size_t cut = reporterPath.rfind(L'\\');
    const std::wstring folder =
        cut == std::wstring::npos ? std::wstring() : reporterPath.substr(0, cut);
    return folder.empty() ? dumpDirectory : folder + L"\\" + dumpDirectory;
}

std::size_t TrimLocalReports(const std::wstring& folder, const LocalReportLimits& limits)
{
    if (!limits.Limited()) {
        return 0;
    }
    std::vector<LocalReportFile> files;
    WIN32_FIND_DATAW found{};
    win32::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) {
        return 0;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            0) {
            files.push_back({found.cFileName,
                             std::uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow,
                             std::uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32 |
                                 found.ftLastWriteTime.dwLowDateTime});
        }
    } while (::FindNextFileW(search.get(), &found));
    search.reset();

    std::size_t removed = 0;
    for (const std::wstring& name : LocalReportFilesToRemove(files, limits)) {
        removed += ::DeleteFileW((folder + L"\\" + name).c_str()) != FALSE;
    }
    return removed;
}
