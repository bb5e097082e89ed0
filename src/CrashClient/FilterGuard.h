#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Keeps the process's unhandled-exception filter where the crash handling put it. Runtimes,
// frameworks and plug-ins call SetUnhandledExceptionFilter on their own, often long after
// start-up, and each such call would switch crash reporting off without a word. While
// engaged, the entry of SetUnhandledExceptionFilter jumps to a stand-in that only records
// the filter asked for (and returns the one recorded before), so ours stays in place. For
// 32-bit x86 code.
class FilterGuard {
public:
    FilterGuard() = default;
    ~FilterGuard() { Disengage(); }
    FilterGuard(const FilterGuard&) = delete;
    FilterGuard& operator=(const FilterGuard&) = delete;

    // Patches the entry; false when it cannot be found or written.
    bool Engage();

    // Puts the original entry back.
    void Disengage();

    // The filter most recently asked for while engaged, or null.
    static LPTOP_LEVEL_EXCEPTION_FILTER Displaced();

private:
    static LPTOP_LEVEL_EXCEPTION_FILTER WINAPI RecordFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

    std::uint8_t* entry_ = nullptr;
    std::uint8_t saved_[5] = {};
};

constexpr std::size_t kRelativeJumpSize = 5;

// The bytes of "jmp target" placed at address from: E9 and the 32-bit displacement from the
// end of the instruction. Pure.
void EncodeRelativeJump(std::uintptr_t from, std::uintptr_t target,
                        std::uint8_t (&bytes)[kRelativeJumpSize]);
