#pragma once

#include <windows.h>
#include <wininet.h>

#include <map>
#include <string>

// Form fields of an upload, name to value. std::map orders std::wstring keys by UTF-16 code
// unit, which is the order in which the fields go on the wire.
using UploadParameters = std::map<std::wstring, std::wstring>;

// Sends one file from disk with text form fields as a single multipart/form-data POST and
// drains the answer. Stateless and synchronous; writes no messages.
class HttpUploader {
public:
    // True when the whole request went out, the status code is exactly 200 and the response
    // body was read to its end (with exactly its announced length, when it announces one).
    // filePath is also sent, unchanged, as the file part's filename.
    static bool UploadFile(const std::wstring& url, const UploadParameters& parameters,
                           const std::wstring& filePath, const std::wstring& filePartName);

private:
    static std::wstring MakeBoundary();
    static bool SendBody(HINTERNET request, const std::string& prefix, const std::wstring& filePath,
                         const std::wstring& boundary);
    static bool ReadResponse(HINTERNET request);
};
