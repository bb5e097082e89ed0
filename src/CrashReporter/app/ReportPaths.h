#pragma once

#include <string>

#include "CrashProtocol/ReporterNames.h"

// Paths and names of one crash report, all derived from the normal dump's path, which the
// dump writer always ends in ".dmp". Pure text work, no system calls.

constexpr wchar_t kUploadPath[] = L"/store-dump/";
constexpr wchar_t kUploadNameField[] = L"name";
constexpr wchar_t kUploadFilePart[] = L"crashdump";

// The dump path less its last four characters (the ".dmp"); empty for a shorter path.
std::wstring ReportBasePath(const std::wstring& dumpPath);

std::wstring ReportBitmapPath(const std::wstring& basePath);
std::wstring ReportFullDumpPath(const std::wstring& basePath);

// collectorHost + "/store-dump/".
std::wstring ReportUploadUrl(const std::wstring& collectorHost);
