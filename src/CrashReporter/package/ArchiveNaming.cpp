#include "CrashReporter/package/ArchiveNaming.h"

namespace {

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Length of text without its last character (a surrogate pair counts as one).
std::size_t WithoutLastCharacter(const std::wstring& text, std::size_t length)
{
    if (length >= 2 && IsLowSurrogate(text[length - 1]) && IsHighSurrogate(text[length - 2])) {
        return length - 2;
    }
    return length - 1;
}

}  // namespace

std::wstring ArchiveNameSourceFor(const std::wstring& dumpPath)
{
    const std::size_t keep = dumpPath.size() >= 3 ? dumpPath.size() - 3 : 0;
    return dumpPath.substr(0, keep) + L"zip";
}

std::wstring TextAfterLastBackslash(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FileNameOf(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderPartOf(const std::wstring& pattern)
{
    const std::size_t slash = pattern.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : pattern.substr(0, slash + 1);
}

bool IsAbsoluteDirectory(const std::wstring& directory)
{
    if (directory.size() >= 2 && directory[0] == L'\\' && directory[1] == L'\\') {
        return true;
    }
    const bool driveLetter =
        directory.size() >= 3 && ((directory[0] >= L'A' && directory[0] <= L'Z') ||
                                  (directory[0] >= L'a' && directory[0] <= L'z'));
    return driveLetter && directory[1] == L':' && IsSeparator(directory[2]);
}

std::wstring ComposeArchivePath(const std::wstring& currentDirectory,
                                const std::wstring& dumpDirectory, const std::wstring& nameSource)
{
    std::wstring path;
    if (IsAbsoluteDirectory(dumpDirectory)) {
        path = dumpDirectory + L"\\";
    } else {
        path = currentDirectory + L"\\";
        if (!dumpDirectory.empty()) {
            path += dumpDirectory + L"\\";
        }
    }
    return path + TextAfterLastBackslash(nameSource);
}

std::uint32_t PackZipDosDate(std::uint16_t dosDate, std::uint16_t dosTime)
{
    return (std::uint32_t(dosDate) << 16) | dosTime;
}

std::wstring ShortenToFit(const std::wstring& name, std::size_t maxBytes,
                          const std::function<std::size_t(const std::wstring&)>& encodedSize)
{
    if (encodedSize(name) <= maxBytes) {
        return name;
    }
    const std::size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > 0) {
        const std::wstring extension = name.substr(dot);
        std::size_t stem = dot;
        while (stem > 0) {
            stem = WithoutLastCharacter(name, stem);
            std::wstring candidate = name.substr(0, stem) + extension;
            if (stem > 0 && encodedSize(candidate) <= maxBytes) {
                return candidate;
            }
        }
    }
    std::size_t length = name.size();
    while (length > 0) {
        length = WithoutLastCharacter(name, length);
        std::wstring candidate = name.substr(0, length);
        if (length > 0 && encodedSize(candidate) <= maxBytes) {
            return candidate;
        }
    }
    return std::wstring();
}
