#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Naming rules of the report archive and its entries; pure text work, no system calls.

constexpr std::size_t kAnsiNameBufferSize = 260;  // 259 bytes of text and the zero
constexpr std::size_t kMaxAnsiNameBytes = kAnsiNameBufferSize - 1;
constexpr std::size_t kCurrentDirectoryBufferLength = 259;

// The dump path with its last three characters replaced by "zip": abc.dmp gives abc.zip.
std::wstring ArchiveNameSourceFor(const std::wstring& dumpPath);

// The text after the last backslash, or all of it. The archive's own name is derived with
// this rule.
std::wstring TextAfterLastBackslash(const std::wstring& path);

// The file name of a path whose folder part may be separated by '\' or '/', the two
// separators the file system accepts.
std::wstring FileNameOf(const std::wstring& path);

// The folder part of a search pattern, up to and including the last '\' or '/'; empty when
// the pattern has none.
std::wstring FolderPartOf(const std::wstring& pattern);

// True for a drive-rooted path ("C:\", "C:/") and for a UNC or device path ("\\").
bool IsAbsoluteDirectory(const std::wstring& directory);

// Where the archive goes: an absolute dump directory as it is, a relative one below the
// current directory, an empty one meaning the current directory itself; then "\" and the
// name source's text after its last backslash.
std::wstring ComposeArchivePath(const std::wstring& currentDirectory,
                                const std::wstring& dumpDirectory, const std::wstring& nameSource);

// The zip_fileinfo dosDate value: the DOS date in the high, the DOS time in the low 16 bits.
std::uint32_t PackZipDosDate(std::uint16_t dosDate, std::uint16_t dosTime);

// The earliest moment a DOS date can hold (1 January 1980, 00:00:00), for file times the
// DOS format cannot express.
constexpr std::uint16_t kEarliestDosDate = 0x0021;
constexpr std::uint16_t kEarliestDosTime = 0;

// The longest form of name whose encoded size is at most maxBytes: characters are dropped
// from the end of the part before the extension (the last '.'), keeping the extension, or
// from the end of the whole name when the extension alone does not fit. Surrogate pairs are
// never split. Empty when not even one character fits.
std::wstring ShortenToFit(const std::wstring& name, std::size_t maxBytes,
                          const std::function<std::size_t(const std::wstring&)>& encodedSize);
