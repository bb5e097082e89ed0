#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A minidump read back through its header and stream directory, from the published file
// format alone (no debug-help library involved).
class MinidumpFile {
public:
    struct Stream {
        std::uint32_t type;
        std::uint32_t size;
        std::uint32_t rva;
    };
    struct ExceptionInfo {
        std::uint32_t threadId;
        std::uint32_t code;
        std::uint64_t address;
    };

    bool Load(const std::wstring& path);

    const std::vector<Stream>& Streams() const { return streams_; }
    std::size_t CountOf(std::uint32_t type) const;
    // The bytes of the first stream of this type; empty when there is none.
    std::vector<std::uint8_t> StreamBytes(std::uint32_t type) const;
    bool Exception(ExceptionInfo& info) const;
    std::size_t FileSize() const { return bytes_.size(); }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<Stream> streams_;
};

constexpr std::uint32_t kExceptionStreamType = 6;
constexpr std::uint32_t kThreadListStreamType = 3;
constexpr std::uint32_t kMemory64ListStreamType = 9;

}  // namespace testing_support
