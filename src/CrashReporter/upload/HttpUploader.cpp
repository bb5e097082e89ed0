#include "CrashReporter/upload/HttpUploader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CrashReporter/upload/MultipartBody.h"
#include "CrashReporter/upload/UrlParts.h"
#include "Win32/UniqueHandle.h"
#include "Win32/UniqueInternetHandle.h"

namespace {

constexpr wchar_t kUserAgent[] = L"RIZurarUzedudor/1.0 (Windows)";
constexpr wchar_t kMethod[] = L"POST";
constexpr DWORD kFileChunkBytes = 65536;
constexpr DWORD kResponseChunkBytes = 65536;
constexpr DWORD kStatusBufferBytes = 8;
constexpr DWORD kContentLengthBufferBytes = 64;
constexpr int kStatusOk = 200;

static_assert(sizeof(INTERNET_BUFFERSW) == (sizeof(void*) == 4 ? 40 : 56),
              "the request start passes the system's record");

// Writes all of data, resuming after partial writes. A call that takes nothing counts as a
// failure, so a stalled transport cannot spin here for ever.
bool WriteAll(HINTERNET request, const void* data, DWORD size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::InternetWriteFile(request, bytes, size, &written) || written == 0 ||
            written > size) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool QueryStatusIsOk(HINTERNET request)
{
    wchar_t status[kStatusBufferBytes / sizeof(wchar_t)] = {};
    DWORD size = kStatusBufferBytes;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &size, nullptr)) {
        return false;
    }
    return ParseDecimal(status) == kStatusOk;  // the zeroed buffer keeps a terminator
}

}  // namespace

bool HttpUploader::UploadFile(const std::wstring& url, const UploadParameters& parameters,
                              const std::wstring& filePath, const std::wstring& filePartName)
{
    if (!ValidateFieldNames(parameters)) {
        return false;
    }
    UrlParts parts;
    if (!SplitUrl(url, parts)) {
        return false;
    }
    DWORD flags = 0;
    if (!RequestFlagsFor(parts.scheme, flags)) {
        return false;
    }

    // Declared in opening order, so that each closes before the handle it came from.
    win32::UniqueInternetHandle session(
        ::InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        return false;
    }
    win32::UniqueInternetHandle connection(::InternetConnectW(session.get(), parts.host.c_str(),
                                                              parts.port, nullptr, nullptr,
                                                              INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        return false;
    }
    win32::UniqueInternetHandle request(::HttpOpenRequestW(
        connection.get(), kMethod, parts.path.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        return false;
    }

    const std::wstring boundary = MakeBoundary();
    const std::wstring header = ContentTypeHeader(boundary);
    // A missing header shows up as a refusal by the server, so the result is not needed here.
    ::HttpAddRequestHeadersW(request.get(), header.c_str(), DWORD(-1), HTTP_ADDREQ_FLAG_ADD);

    std::string prefix;
    if (!BuildBodyPrefix(parameters, filePath, filePartName, boundary, prefix)) {
        return false;
    }
    if (!SendBody(request.get(), prefix, filePath, boundary)) {
        return false;
    }
    if (!QueryStatusIsOk(request.get())) {
        return false;
    }
    return ReadResponse(request.get());
}

std::wstring HttpUploader::MakeBoundary()
{
    // Two statements: the first call's number is printed first.
    const unsigned first = static_cast<unsigned>(std::rand());
    const unsigned second = static_cast<unsigned>(std::rand());
    return FormatBoundary(first, second);
}

bool HttpUploader::SendBody(HINTERNET request, const std::string& prefix,
                            const std::wstring& filePath, const std::wstring& boundary)
{
    win32::UniqueHandle file(::CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    const std::string trailer = BuildTrailer(boundary);
    if (!file) {
        return false;
    }
    LARGE_INTEGER fileSize{};
    if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart < 0) {
        return false;
    }
    std::uint32_t bodyLength = 0;
    if (!AnnouncedBodyLength(prefix.size(), std::uint64_t(fileSize.QuadPart), trailer.size(),
                             bodyLength)) {
        return false;
    }

    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = bodyLength;
    if (!::HttpSendRequestExW(request, &buffers, nullptr, 0, 0)) {
        return false;
    }
    if (!WriteAll(request, prefix.data(), DWORD(prefix.size()))) {
        return false;
    }

    std::vector<std::uint8_t> chunk(kFileChunkBytes);
    std::uint64_t remaining = std::uint64_t(fileSize.QuadPart);
    while (remaining > 0) {
        const DWORD wanted = DWORD(std::min<std::uint64_t>(remaining, kFileChunkBytes));
        DWORD read = 0;
        if (!::ReadFile(file.get(), chunk.data(), wanted, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return false;  // the file shrank: the announced length can no longer be met
        }
        if (!WriteAll(request, chunk.data(), read)) {
            return false;
        }
        remaining -= read;
    }

    if (!WriteAll(request, trailer.data(), DWORD(trailer.size()))) {
        return false;
    }
    return ::HttpEndRequestW(request, nullptr, 0, 0) == TRUE;
}

bool HttpUploader::ReadResponse(HINTERNET request)
{
    wchar_t lengthText[kContentLengthBufferBytes / sizeof(wchar_t)] = {};
    DWORD lengthSize = kContentLengthBufferBytes;
    const bool announced = ::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, lengthText,
                                            &lengthSize, nullptr) != FALSE;
    if (!announced && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return false;  // a length too long to read is still announced, and no body can meet it
    }
    const std::int64_t announcedLength = announced ? ParseDecimal(lengthText) : 0;

    // The content is never interpreted, so it is counted, not kept: neither a huge announced
    // length nor a long body can exhaust memory.
    std::vector<std::uint8_t> chunk(kResponseChunkBytes);
    std::uint64_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!::InternetQueryDataAvailable(request, &available, 0, 0)) {
            return false;
        }
        if (available == 0) {
            break;
        }
        DWORD read = 0;
        if (!::InternetReadFile(request, chunk.data(), std::min(available, kResponseChunkBytes),
                                &read)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        received += read;
    }
    if (announced && (announcedLength < 0 || std::uint64_t(announcedLength) != received)) {
        return false;
    }
    return true;
}
