#include "CrashClient/FilterGuard.h"

#include <cstring>

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER volatile displacedFilter = nullptr;

bool WriteCode(std::uint8_t* at, const std::uint8_t* bytes, std::size_t size)
{
    DWORD previous = 0;
    if (!::VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &previous)) {
        return false;
    }
    std::memcpy(at, bytes, size);
    DWORD ignored = 0;
    ::VirtualProtect(at, size, previous, &ignored);
    ::FlushInstructionCache(::GetCurrentProcess(), at, size);
    return true;
}

}  // namespace

void EncodeRelativeJump(std::uintptr_t from, std::uintptr_t target,
                        std::uint8_t (&bytes)[kRelativeJumpSize])
{
    const std::uint32_t displacement =
        static_cast<std::uint32_t>(target - (from + kRelativeJumpSize));
    bytes[0] = 0xE9;
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[1 + i] = static_cast<std::uint8_t>(displacement >> (8 * i));
    }
}

bool FilterGuard::Engage()
{
    if (entry_ != nullptr) {
        return true;
    }
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    // The export the program's own import resolves to, forwarders followed.
    auto* entry = kernel == nullptr ? nullptr
                                    : reinterpret_cast<std::uint8_t*>(reinterpret_cast<void*>(
                                          ::GetProcAddress(kernel, "SetUnhandledExceptionFilter")));
    if (entry == nullptr) {
        return false;
    }
    std::memcpy(saved_, entry, sizeof(saved_));
    std::uint8_t jump[kRelativeJumpSize];
    EncodeRelativeJump(reinterpret_cast<std::uintptr_t>(entry),
                       reinterpret_cast<std::uintptr_t>(&RecordFilter), jump);
    displacedFilter = nullptr;
    if (!WriteCode(entry, jump, sizeof(jump))) {
        return false;
    }
    entry_ = entry;
    return true;
}

void FilterGuard::Disengage()
{
    if (entry_ != nullptr && WriteCode(entry_, saved_, sizeof(saved_))) {
        entry_ = nullptr;
    }
}

LPTOP_LEVEL_EXCEPTION_FILTER FilterGuard::Displaced()
{
    return displacedFilter;
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI FilterGuard::RecordFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    return reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(::InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&displacedFilter), reinterpret_cast<PVOID>(filter)));
}
