// Runs HttpUploader::UploadFile for a driver outside Wine. Every argument is "x" followed by
// the hex of its UTF-16LE code units, so that any text (quotes, line breaks, non-ASCII, even
// lone surrogates) crosses the command line intact:
//   UploadProbe [--repeat N] <url> <file path> <file part name> [<field name> <value>]...
// Prints one line per upload: "result <0|1> ms <elapsed> error <last error>".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "CrashReporter/upload/HttpUploader.h"

namespace {

bool DecodeArgument(const wchar_t* text, std::wstring& out)
{
    if (text[0] != L'x') {
        return false;
    }
    const std::wstring hex(text + 1);
    if (hex.size() % 4 != 0) {
        return false;
    }
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 4) {
        const std::wstring low = hex.substr(i, 2);
        const std::wstring high = hex.substr(i + 2, 2);
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul((high + low).c_str(), &end, 16);
        if (*end != L'\0') {
            return false;
        }
        out += static_cast<wchar_t>(value);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    int repeat = 1;
    if (argc > 2 && std::wcscmp(argv[1], L"--repeat") == 0) {
        repeat = _wtoi(argv[2]);
        first = 3;
    }
    std::wstring url, path, part;
    UploadParameters fields;
    bool ok = argc - first >= 3 && (argc - first) % 2 == 1 && DecodeArgument(argv[first], url) &&
              DecodeArgument(argv[first + 1], path) && DecodeArgument(argv[first + 2], part);
    for (int i = first + 3; ok && i + 1 < argc; i += 2) {
        std::wstring name, value;
        ok = DecodeArgument(argv[i], name) && DecodeArgument(argv[i + 1], value);
        fields[name] = value;
    }
    if (!ok) {
        std::fprintf(stderr,
                     "usage: UploadProbe [--repeat N] <url> <path> <part> [<name> <value>]...\n");
        return 2;
    }
    for (int i = 0; i < repeat; ++i) {
        const ULONGLONG start = ::GetTickCount64();
        const bool result = HttpUploader::UploadFile(url, fields, path, part);
        const DWORD error = ::GetLastError();
        std::printf("result %d ms %llu error %lu\n", result ? 1 : 0,
                    static_cast<unsigned long long>(::GetTickCount64() - start),
                    static_cast<unsigned long>(error));
        std::fflush(stdout);
    }
    return 0;
}
