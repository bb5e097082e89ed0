#include "CrashReporter/dump/DumpNaming.h"

#include <cwchar>

#include "CrashProtocol/PipeMessage.h"
#include "CrashProtocol/ReporterNames.h"

namespace {

constexpr std::size_t kNormalSuffixLength = 4;

std::uint32_t LittleEndian(const std::uint8_t* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

}  // namespace

std::wstring FormatUuidText(const std::uint8_t (&uuid)[kUuidBytes])
{
    wchar_t text[kUuidTextLength + 1] = {};
    const std::uint8_t* last = uuid + 8;
    std::swprintf(text, kUuidTextLength + 1, L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(LittleEndian(uuid, 4)),
                  static_cast<unsigned>(LittleEndian(uuid + 4, 2)),
                  static_cast<unsigned>(LittleEndian(uuid + 6, 2)), last[0], last[1], last[2],
                  last[3], last[4], last[5], last[6], last[7]);
    return text;
}

std::wstring MakeNormalDumpPath(const std::wstring& dumpDirectory, const std::wstring& uuidText)
{
    return dumpDirectory + L"\\" + uuidText + kDumpFileEnding;
}

std::wstring FullDumpPathFor(const std::wstring& normalDumpPath)
{
    std::wstring base = normalDumpPath.size() >= kNormalSuffixLength
                            ? normalDumpPath.substr(0, normalDumpPath.size() - kNormalSuffixLength)
                            : std::wstring();
    return base + kFullDumpFileEnding;
}

bool WantsFullMemoryPair(std::uint32_t dumpType)
{
    return (dumpType & kFullMemoryDumpBit) != 0;
}

std::uint32_t NormalDumpTypeFor(std::uint32_t dumpType)
{
    return dumpType & ~kFullMemoryDumpBit;
}
