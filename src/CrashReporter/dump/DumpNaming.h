#pragma once

#include <cstdint>
#include <string>

// Naming rules of the dump files; pure text work, no system calls.

constexpr std::size_t kUuidBytes = 16;
constexpr std::size_t kUuidTextLength = 36;

// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x" of a UUID as it lies in memory: the
// first three fields little-endian, the last eight bytes in memory order.
std::wstring FormatUuidText(const std::uint8_t (&uuid)[kUuidBytes]);

// dumpDirectory + "\" + uuidText + ".dmp"; the directory is used verbatim.
std::wstring MakeNormalDumpPath(const std::wstring& dumpDirectory, const std::wstring& uuidText);

// The full-memory dump beside a normal one: its ".dmp" replaced by "-full.dmp".
std::wstring FullDumpPathFor(const std::wstring& normalDumpPath);

// Whether a registered dump type asks for the full-memory pair, and the type of each file.
bool WantsFullMemoryPair(std::uint32_t dumpType);
std::uint32_t NormalDumpTypeFor(std::uint32_t dumpType);
