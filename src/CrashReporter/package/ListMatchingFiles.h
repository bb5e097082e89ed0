#pragma once

#include <string>
#include <vector>

// Attributes of search results that are never archived: folders, system files, devices and
// files whose data is offline.
constexpr unsigned long kSkippedFileAttributes = 0x1054;

// The regular files matching one file name or wildcard pattern, in the order the directory
// search returns them, each as the pattern's folder part + the found name. Empty when
// nothing matches.
std::vector<std::wstring> ListMatchingFiles(const std::wstring& pattern);
