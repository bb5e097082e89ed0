#include "CrashReporter/dump/AnnotationStream.h"

#include <cstring>

namespace {

void AppendText(std::vector<std::uint8_t>& out, const wchar_t (&field)[kAnnotationTextUnits])
{
    // The client's text may fill its field without a terminator; the stream always has one.
    for (std::size_t i = 0; i < kAnnotationTextUnits; ++i) {
        const std::uint16_t unit = i + 1 < kAnnotationTextUnits ? std::uint16_t(field[i]) : 0;
        out.push_back(std::uint8_t(unit));
        out.push_back(std::uint8_t(unit >> 8));
    }
}

void AppendCount(std::vector<std::uint8_t>& out, std::uint32_t count)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(std::uint8_t(count >> shift));
    }
}

}  // namespace

std::vector<std::uint8_t> EncodeAnnotationStream(const ClientAnnotation* entries, std::size_t count)
{
    std::vector<std::uint8_t> stream;
    std::uint32_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        kept += entries[i].name[0] != L'\0' ? 1 : 0;
    }
    stream.reserve(4 + std::size_t(kept) * sizeof(ClientAnnotation));
    AppendCount(stream, kept);
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].name[0] == L'\0') {
            continue;
        }
        AppendText(stream, entries[i].name);
        AppendText(stream, entries[i].value);
    }
    return stream;
}
