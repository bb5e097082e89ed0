#include "CrashReporter/upload/MultipartBody.h"

#include <windows.h>

#include <cwchar>
#include <limits>
#include <vector>

namespace {

constexpr char kCrLf[] = "\r\n";
constexpr char kDashes[] = "--";
constexpr char kDispositionName[] = "Content-Disposition: form-data; name=";
constexpr char kFileName[] = "; filename=";
constexpr char kFileContentType[] = "Content-Type: application/octet-stream";
constexpr wchar_t kContentTypePrefix[] = L"Content-Type: multipart/form-data; boundary=";

constexpr wchar_t kLowestNameUnit = 0x20;
constexpr wchar_t kHighestNameUnit = 0x7F;
constexpr wchar_t kDoubleQuote = 0x22;

void AppendQuoted(std::string& out, const std::string& text)
{
    out += '"';
    out += text;
    out += '"';
}

void AppendDelimiterLine(std::string& out, const std::string& boundary)
{
    out += kDashes;
    out += boundary;
    out += kCrLf;
}

}  // namespace

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(size));
    if (::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer.data(), size, nullptr,
                              nullptr) <= 0) {
        return {};
    }
    return std::string(buffer.data());  // up to the terminator
}

bool ValidateFieldNames(const UploadParameters& parameters)
{
    for (const auto& field : parameters) {
        const std::wstring& name = field.first;
        if (name.empty()) {
            return false;
        }
        for (wchar_t unit : name) {
            if (unit < kLowestNameUnit || unit > kHighestNameUnit || unit == kDoubleQuote) {
                return false;
            }
        }
    }
    return true;
}

std::wstring FormatBoundary(unsigned first, unsigned second)
{
    wchar_t text[kBoundaryLength + 1] = {};
    std::swprintf(text, kBoundaryLength + 1, L"%ls%08X%08X", kBoundaryHyphens, first, second);
    return text;
}

std::wstring ContentTypeHeader(const std::wstring& boundary)
{
    return kContentTypePrefix + boundary;
}

bool BuildBodyPrefix(const UploadParameters& parameters, const std::wstring& filePath,
                     const std::wstring& filePartName, const std::wstring& boundary,
                     std::string& prefix)
{
    const std::string b = ToUtf8(boundary);
    if (b.empty()) {
        return false;
    }
    prefix.clear();
    for (const auto& field : parameters) {
        AppendDelimiterLine(prefix, b);
        prefix += kDispositionName;
        AppendQuoted(prefix, ToUtf8(field.first));
        prefix += kCrLf;
        prefix += kCrLf;
        prefix += ToUtf8(field.second);
        prefix += kCrLf;
    }
    const std::string path = ToUtf8(filePath);
    const std::string partName = ToUtf8(filePartName);
    if (path.empty() || partName.empty()) {
        return false;
    }
    AppendDelimiterLine(prefix, b);
    prefix += kDispositionName;
    AppendQuoted(prefix, partName);
    prefix += kFileName;
    AppendQuoted(prefix, path);
    prefix += kCrLf;
    prefix += kFileContentType;
    prefix += kCrLf;
    prefix += kCrLf;
    return true;
}

std::string BuildTrailer(const std::wstring& boundary)
{
    return std::string(kCrLf) + kDashes + ToUtf8(boundary) + kDashes + kCrLf;
}

bool AnnouncedBodyLength(std::uint64_t prefixBytes, std::uint64_t fileBytes,
                         std::uint64_t trailerBytes, std::uint32_t& total)
{
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
    if (prefixBytes > kLimit || fileBytes > kLimit || trailerBytes > kLimit) {
        return false;
    }
    const std::uint64_t sum = prefixBytes + fileBytes + trailerBytes;  // no overflow: each < 2^32
    if (sum > kLimit) {
        return false;
    }
    total = static_cast<std::uint32_t>(sum);
    return true;
}

std::int64_t ParseDecimal(const std::wstring& text)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const int digit = text[i] - L'0';
        // Accumulate towards the sign so that the lowest value is reachable, and saturate.
        if (negative) {
            if (value < (kMin + digit) / 10) {
                return kMin;
            }
            value = value * 10 - digit;
        } else {
            if (value > (kMax - digit) / 10) {
                return kMax;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}
