#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <string>

// Component buffers of the URL split, in characters with the terminator.
constexpr std::size_t kSchemeBufferChars = 16;
constexpr std::size_t kHostBufferChars = 256;
constexpr std::size_t kPathBufferChars = 256;

constexpr DWORD kPlainRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;
constexpr DWORD kSecureRequestFlags = kPlainRequestFlags | INTERNET_FLAG_SECURE;

// What an upload takes from its URL. The path carries the query, if any.
struct UrlParts {
    std::wstring scheme;
    std::wstring host;
    INTERNET_PORT port = 0;  // the scheme's default when the URL names none
    std::wstring path;
};

// Splits url with InternetCrackUrlW (no network). False when it cannot be split or when the
// scheme, host or path does not fit its buffer. User name and password are not taken.
bool SplitUrl(const std::wstring& url, UrlParts& parts);

// Request flags for "http" or "https", compared exactly; false for any other scheme.
bool RequestFlagsFor(const std::wstring& scheme, DWORD& flags);
