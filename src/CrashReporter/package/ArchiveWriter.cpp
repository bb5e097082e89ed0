#include "CrashReporter/package/ArchiveWriter.h"

#include <windows.h>

#include <algorithm>

#include "CrashReporter/package/ArchiveNaming.h"
#include "Win32/UniqueHandle.h"

namespace {

constexpr int kZip64 = 1;
constexpr uLong kUtf8NameFlag = 0x800;
constexpr uLong kNoFlags = 0;
// The entry's bytes come deflated already; minizip only stores them.
constexpr int kRawEntry = 1;
constexpr uLong kVersionMadeBy = 0;  // minizip's own default

struct EntryName {
    std::string bytes;
    bool utf8 = false;
};

bool IsAscii(const std::wstring& text)
{
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

std::size_t EncodedSize(UINT codePage, const std::wstring& text)
{
    if (text.empty()) {
        return 0;
    }
    const int size = ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

std::string Encode(UINT codePage, const std::wstring& text)
{
    std::string bytes(EncodedSize(codePage, text), '\0');
    if (!bytes.empty()) {
        ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0],
                              static_cast<int>(bytes.size()), nullptr, nullptr);
    }
    return bytes;
}

// Whether every character has an exact counterpart in the ANSI code page, neither the
// default character nor a look-alike. Under a UTF-8 ANSI code page only ASCII counts, so
// that other names carry the UTF-8 flag.
bool AnsiHoldsExactly(const std::wstring& text)
{
    if (IsAscii(text)) {
        return true;
    }
    if (::GetACP() == CP_UTF8) {
        return false;
    }
    BOOL usedDefault = FALSE;
    const int size =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(),
                              static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
    return size > 0 && !usedDefault;
}

// The entry name in the ANSI code page where it holds the name, else in UTF-8 with the flag;
// shortened to fit the name buffer. False when no part of the name can be stored.
bool MakeEntryName(const std::wstring& fileName, EntryName& entry)
{
    entry.utf8 = !AnsiHoldsExactly(fileName);
    const UINT codePage = entry.utf8 ? CP_UTF8 : CP_ACP;
    const std::wstring name =
        ShortenToFit(fileName, kMaxAnsiNameBytes,
                     [codePage](const std::wstring& s) { return EncodedSize(codePage, s); });
    if (name.empty()) {
        return false;
    }
    entry.bytes = Encode(codePage, name);
    return !entry.bytes.empty();
}

// The path as the C run-time's fopen will read it; false when it does not fit the buffer or
// names a different file in the ANSI code page.
bool MakeAnsiPath(const std::wstring& path, std::string& ansi)
{
    if (::GetACP() != CP_UTF8 && !AnsiHoldsExactly(path)) {
        return false;
    }
    ansi = Encode(CP_ACP, path);
    return !ansi.empty() && ansi.size() <= kMaxAnsiNameBytes;
}

bool ReadCurrentDirectory(std::wstring& directory)
{
    wchar_t buffer[kCurrentDirectoryBufferLength];
    const DWORD length = ::GetCurrentDirectoryW(kCurrentDirectoryBufferLength, buffer);
    if (length == 0 || length >= kCurrentDirectoryBufferLength) {
        return false;
    }
    directory.assign(buffer, length);
    return true;
}

uLong ZipDosDateOf(const FILETIME& lastWrite)
{
    FILETIME local;
    WORD date = 0;
    WORD time = 0;
    if (!::FileTimeToLocalFileTime(&lastWrite, &local) ||
        !::FileTimeToDosDateTime(&local, &date, &time)) {
        // Before 1980 or after 2107: the entry is kept, under the earliest DOS date.
        return PackZipDosDate(kEarliestDosDate, kEarliestDosTime);
    }
    return PackZipDosDate(date, time);
}

}  // namespace

bool ArchiveWriter::Open(const std::wstring& dumpDirectory, const std::wstring& nameSource,
                         std::wstring& archivePath)
{
    if (archive_) {
        return false;
    }
    std::wstring currentDirectory;
    if (!IsAbsoluteDirectory(dumpDirectory) && !ReadCurrentDirectory(currentDirectory)) {
        return false;
    }
    archivePath = ComposeArchivePath(currentDirectory, dumpDirectory, nameSource);
    std::string ansiPath;
    if (!MakeAnsiPath(archivePath, ansiPath)) {
        return false;
    }
    archive_.reset(::zipOpen64(ansiPath.c_str(), APPEND_STATUS_CREATE));
    return static_cast<bool>(archive_);
}

bool ArchiveWriter::AddFile(const std::wstring& path)
{
    if (!archive_) {
        return false;
    }
    EntryName name;
    if (!MakeEntryName(FileNameOf(path), name)) {
        return false;
    }
    win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return false;
    }
    FILETIME lastWrite;
    if (!::GetFileTime(file.get(), nullptr, nullptr, &lastWrite)) {
        return false;
    }
    zip_fileinfo info{};
    info.dosDate = ZipDosDateOf(lastWrite);

    const int opened = ::zipOpenNewFileInZip4_64(
        archive_.get(), name.bytes.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
        kArchiveCompressionLevel, kRawEntry, kRawDeflateWindowBits, kDeflateMemoryLevel,
        Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy, name.utf8 ? kUtf8NameFlag : kNoFlags,
        kZip64);
    if (opened != ZIP_OK) {
        return false;
    }

    HANDLE source = file.get();
    zipFile archive = archive_.get();
    const auto read = [source](unsigned char* buffer, std::size_t capacity, std::size_t& got) {
        DWORD count = 0;
        const bool ok = ::ReadFile(source, buffer, static_cast<DWORD>(capacity), &count, nullptr);
        got = count;
        return ok;
    };
    const auto write = [archive](const unsigned char* bytes, std::size_t count) {
        return ::zipWriteInFileInZip(archive, bytes, static_cast<unsigned>(count)) == ZIP_OK;
    };
    // After a read error the entry stays, closed and readable, but a truncated file does not
    // count as added.
    StreamTotals totals;
    const bool wholeFile = deflater_.Deflate(read, write, totals);
    return ::zipCloseFileInZipRaw64(archive_.get(), totals.size, totals.crc) == ZIP_OK && wholeFile;
}

bool ArchiveWriter::Close()
{
    if (!archive_) {
        return false;
    }
    deflater_.Stop();
    return ::zipClose(archive_.release(), kArchiveComment) == ZIP_OK;
}
