#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Keeps the process's unhandled-exception filter where the crash handling put it. Runtimes,
// frameworks and plug-ins call SetUnhandledExceptionFilter on their own, often long after
// start-up, and each such call would switch crash reporting off without a word. While
// engaged, the entry of SetUnhandledExceptionFilter jumps to a stand-in that only records
// the filter asked for (and returns the one recorded before), so ours stays in place. On x86
// the entry gets a relative jump; on x64 the stand-in may lie beyond a relative jump's reach,
// so the function the entry leads to (through import thunks and jumps) gets an absolute one.
constexpr std::size_t kRelativeJumpSize = 5;
constexpr std::size_t kAbsoluteJumpSize = 12;
#ifdef _WIN64
constexpr std::size_t kEntryPatchSize = kAbsoluteJumpSize;
#else
constexpr std::size_t kEntryPatchSize = kRelativeJumpSize;
#endif

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
    std::uint8_t saved_[kEntryPatchSize] = {};
};

// The bytes of "jmp target" placed at address from: E9 and the 32-bit displacement from the
// end of the instruction. Pure.
void EncodeRelativeJump(std::uintptr_t from, std::uintptr_t target,
                        std::uint8_t (&bytes)[kRelativeJumpSize]);

// The bytes of "mov rax, target; jmp rax" (x64): reaches anywhere, and rax is free at a
// function's entry. Pure.
void EncodeAbsoluteJump(std::uint64_t target, std::uint8_t (&bytes)[kAbsoluteJumpSize]);

// Where the x64 code at an address leads when it starts with a jump: "jmp qword ptr
// [rip+disp32]" (an import thunk, with or without a REX prefix), "jmp rel32" or "jmp rel8".
// Null when it starts with anything else. Reads only the bytes of the jump and, for the
// thunk, its pointer.
const std::uint8_t* JumpDestination(const std::uint8_t* code);
