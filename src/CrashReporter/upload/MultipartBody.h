#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "CrashReporter/upload/HttpUploader.h"

// The text of a multipart/form-data body; no network, no files.

constexpr wchar_t kBoundaryHyphens[] = L"---------------------------";  // 27 hyphens
constexpr std::size_t kBoundaryLength = 43;                             // hyphens + 2 x 8 hex
constexpr std::size_t kFieldOverheadBytes = 92;      // one field's lines besides name and value
constexpr std::size_t kFilePartOverheadBytes = 143;  // the file part's lines besides P and F
constexpr std::size_t kTrailerBytes = 51;

// UTF-8 of text up to its first NUL; empty for an empty text and for a failed conversion.
std::string ToUtf8(const std::wstring& text);

// Every name non-empty, each code unit in 0x20..0x7F and no double quote. Values are free.
bool ValidateFieldNames(const UploadParameters& parameters);

// The 27 hyphens, then first and second as 8 upper-case hex digits each.
std::wstring FormatBoundary(unsigned first, unsigned second);

// "Content-Type: multipart/form-data; boundary=" + boundary.
std::wstring ContentTypeHeader(const std::wstring& boundary);

// Every field in the map's order, then the file part's header lines: all that precedes the
// file's bytes. False (prefix unspecified) when the boundary, the path or the part name
// converts to nothing.
bool BuildBodyPrefix(const UploadParameters& parameters, const std::wstring& filePath,
                     const std::wstring& filePartName, const std::wstring& boundary,
                     std::string& prefix);

// CRLF "--" boundary "--" CRLF.
std::string BuildTrailer(const std::wstring& boundary);

// prefix + file + trailer as the 32-bit count that the request announces; false when the sum
// does not fit, rather than announcing a wrapped length.
bool AnnouncedBodyLength(std::uint64_t prefixBytes, std::uint64_t fileBytes,
                         std::uint64_t trailerBytes, std::uint32_t& total);

// The decimal number at the start of text, after blanks and an optional sign, as the C
// library reads it: "12ab" is 12, text without digits is 0. Saturates at the 64-bit limits.
std::int64_t ParseDecimal(const std::wstring& text);
