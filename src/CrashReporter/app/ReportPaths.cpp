#include "CrashReporter/app/ReportPaths.h"

namespace {

constexpr std::size_t kDumpExtensionLength = 4;  // ".dmp"

}  // namespace

std::wstring ReportBasePath(const std::wstring& dumpPath)
{
    return dumpPath.size() < kDumpExtensionLength
               ? std::wstring()
               : dumpPath.substr(0, dumpPath.size() - kDumpExtensionLength);
}

std::wstring ReportBitmapPath(const std::wstring& basePath)
{
    return basePath + kBitmapFileEnding;
}

std::wstring ReportFullDumpPath(const std::wstring& basePath)
{
    return basePath + kFullDumpFileEnding;
}

std::wstring ReportUploadUrl(const std::wstring& collectorHost)
{
    return collectorHost + kUploadPath;
}
