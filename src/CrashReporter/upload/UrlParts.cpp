#include "CrashReporter/upload/UrlParts.h"

bool SplitUrl(const std::wstring& url, UrlParts& parts)
{
    wchar_t scheme[kSchemeBufferChars] = {};
    wchar_t host[kHostBufferChars] = {};
    wchar_t path[kPathBufferChars] = {};
    URL_COMPONENTSW components{};
    components.dwStructSize = sizeof(components);
    components.lpszScheme = scheme;
    components.dwSchemeLength = DWORD(kSchemeBufferChars);
    components.lpszHostName = host;
    components.dwHostNameLength = DWORD(kHostBufferChars);
    components.lpszUrlPath = path;
    components.dwUrlPathLength = DWORD(kPathBufferChars);
    if (!::InternetCrackUrlW(url.c_str(), DWORD(url.size()), 0, &components)) {
        return false;
    }
    parts.scheme.assign(scheme, components.dwSchemeLength);
    parts.host.assign(host, components.dwHostNameLength);
    parts.port = components.nPort;
    parts.path.assign(path, components.dwUrlPathLength);
    return true;
}

bool RequestFlagsFor(const std::wstring& scheme, DWORD& flags)
{
    if (scheme == L"https") {
        flags = kSecureRequestFlags;
        return true;
    }
    if (scheme == L"http") {
        flags = kPlainRequestFlags;
        return true;
    }
    return false;
}
