#include "CrashReporter/package/ListMatchingFiles.h"

#include <windows.h>

#include "CrashReporter/package/ArchiveNaming.h"
#include "Win32/UniqueFindHandle.h"

static_assert(kSkippedFileAttributes == (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_OFFLINE),
              "the skipped attributes");

std::vector<std::wstring> ListMatchingFiles(const std::wstring& pattern)
{
    std::vector<std::wstring> paths;
    const std::wstring folder = FolderPartOf(pattern);
    WIN32_FIND_DATAW found;
    win32::UniqueFindHandle search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search) {
        return paths;
    }
    do {
        if ((found.dwFileAttributes & kSkippedFileAttributes) == 0) {
            paths.push_back(folder + found.cFileName);
        }
    } while (::FindNextFileW(search.get(), &found));
    return paths;
}
