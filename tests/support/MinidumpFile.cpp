#include "MinidumpFile.h"

#include <cstring>

#include "TempDirectory.h"

namespace testing_support {

namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDirectoryEntrySize = 12;

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

}  // namespace

bool MinidumpFile::Load(const std::wstring& path)
{
    bytes_ = ReadWholeFile(path);
    streams_.clear();
    if (bytes_.size() < kHeaderSize || U32(bytes_, 0) != kSignature) {
        return false;
    }
    const std::uint32_t count = U32(bytes_, 8);
    const std::uint32_t directory = U32(bytes_, 12);
    if (directory + std::uint64_t(count) * kDirectoryEntrySize > bytes_.size()) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::size_t at = directory + i * kDirectoryEntrySize;
        Stream s{U32(bytes_, at), U32(bytes_, at + 4), U32(bytes_, at + 8)};
        if (std::uint64_t(s.rva) + s.size > bytes_.size()) {
            return false;
        }
        streams_.push_back(s);
    }
    return true;
}

std::size_t MinidumpFile::CountOf(std::uint32_t type) const
{
    std::size_t n = 0;
    for (const auto& s : streams_) {
        n += s.type == type;
    }
    return n;
}

std::vector<std::uint8_t> MinidumpFile::StreamBytes(std::uint32_t type) const
{
    for (const auto& s : streams_) {
        if (s.type == type) {
            return std::vector<std::uint8_t>(bytes_.begin() + s.rva, bytes_.begin() + s.rva + s.size);
        }
    }
    return {};
}

bool MinidumpFile::Exception(ExceptionInfo& info) const
{
    // MINIDUMP_EXCEPTION_STREAM: ThreadId, alignment, then MINIDUMP_EXCEPTION with
    // ExceptionCode, ExceptionFlags, ExceptionRecord (64-bit), ExceptionAddress (64-bit).
    std::vector<std::uint8_t> s = StreamBytes(kExceptionStreamType);
    if (s.size() < 32) {
        return false;
    }
    info.threadId = U32(s, 0);
    info.code = U32(s, 8);
    info.address = std::uint64_t(U32(s, 24)) | std::uint64_t(U32(s, 28)) << 32;
    return true;
}

}  // namespace testing_support
