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

#ifdef _WIN64
// An entry that is an import thunk or a jump onward is too short for the absolute jump, and
// patching it would miss the callers of the function behind it: the patch goes where the
// jumps lead, a few hops at most.
constexpr int kMaxJumpHops = 4;

std::uint8_t* FunctionBehindJumps(std::uint8_t* entry)
{
    for (int hop = 0; hop < kMaxJumpHops; ++hop) {
        const std::uint8_t* next = JumpDestination(entry);
        if (next == nullptr) {
            break;
        }
        entry = const_cast<std::uint8_t*>(next);
    }
    return entry;
}
#endif

}  // namespace

void EncodeAbsoluteJump(std::uint64_t target, std::uint8_t (&bytes)[kAbsoluteJumpSize])
{
    bytes[0] = 0x48;  // mov rax, imm64
    bytes[1] = 0xB8;
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[2 + i] = static_cast<std::uint8_t>(target >> (8 * i));
    }
    bytes[10] = 0xFF;  // jmp rax
    bytes[11] = 0xE0;
}

const std::uint8_t* JumpDestination(const std::uint8_t* code)
{
    auto displacement32 = [](const std::uint8_t* at) {
        std::int32_t value = 0;
        std::memcpy(&value, at, sizeof(value));
        return value;
    };
    const std::uint8_t* at = (code[0] & 0xF0) == 0x40 ? code + 1 : code;  // REX prefix
    if (at[0] == 0xFF && at[1] == 0x25) {
        const std::uint8_t* slot = at + 6 + displacement32(at + 2);
        const std::uint8_t* destination = nullptr;
        std::memcpy(&destination, slot, sizeof(destination));
        return destination;
    }
    if (code[0] == 0xE9) {
        return code + 5 + displacement32(code + 1);
    }
    if (code[0] == 0xEB) {
        return code + 2 + static_cast<std::int8_t>(code[1]);
    }
    return nullptr;
}

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
#ifdef _WIN64
    entry = FunctionBehindJumps(entry);
    std::uint8_t jump[kAbsoluteJumpSize];
    EncodeAbsoluteJump(reinterpret_cast<std::uintptr_t>(&RecordFilter), jump);
#else
    std::uint8_t jump[kRelativeJumpSize];
    EncodeRelativeJump(reinterpret_cast<std::uintptr_t>(entry),
                       reinterpret_cast<std::uintptr_t>(&RecordFilter), jump);
#endif
    static_assert(sizeof(jump) == sizeof(saved_), "the patch replaces what was saved");
    std::memcpy(saved_, entry, sizeof(saved_));
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
