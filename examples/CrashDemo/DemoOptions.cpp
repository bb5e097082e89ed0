#include "CrashDemo/DemoOptions.h"

#include "CrashDemo/CrashKinds.h"

namespace {

constexpr std::uint32_t kNormalDump = 0;           // MiniDumpNormal
constexpr std::uint32_t kFullMemoryDumpBit = 0x2;  // MiniDumpWithFullMemory
constexpr wchar_t kListKinds[] = L"list";

}  // namespace

bool ParseDemoOptions(const std::vector<std::wstring>& arguments, DemoOptions& options)
{
    std::vector<std::wstring> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--full-memory") {
            options.fullMemory = true;
        } else if (argument == L"--name") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                return false;
            }
            options.serverName = arguments[++i];
        } else if (argument == L"--crash") {
            if (i + 1 >= arguments.size()) {
                return false;
            }
            options.crashKind = arguments[++i];
            options.listKinds = options.crashKind == kListKinds;
            if (!options.listKinds && FindCrashKind(options.crashKind) == nullptr) {
                return false;
            }
        } else if (argument.compare(0, 2, L"--") == 0) {
            return false;
        } else {
            positional.push_back(argument);
        }
    }
    if (options.listKinds) {
        return true;
    }
    if (positional.size() != 2 || positional[0].empty() || positional[1].empty()) {
        return false;
    }
    options.collectorHost = positional[0];
    options.dumpDirectory = positional[1];
    return true;
}

std::uint32_t DemoDumpType(const DemoOptions& options)
{
    return options.fullMemory ? kNormalDump | kFullMemoryDumpBit : kNormalDump;
}
