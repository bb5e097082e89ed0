#pragma once

#include <cstdint>

// Exception codes in the reports the client library makes. Crashes that the system raises
// keep the system's own code; crashes that end the process through the C or C++ runtime
// instead of an exception get a code of their own, recorded as a synthetic exception at the
// place where the runtime gave up.

// Raised by the processor or the system.
constexpr std::uint32_t kAccessViolationCode = 0xC0000005;
constexpr std::uint32_t kIllegalInstructionCode = 0xC000001D;
constexpr std::uint32_t kIntegerDivideByZeroCode = 0xC0000094;
constexpr std::uint32_t kStackOverflowCode = 0xC00000FD;

// The runtime ended the process; the platform's codes where it has one for the case.
constexpr std::uint32_t kAbortCode = 0x40000015;              // abort(), SIGABRT
constexpr std::uint32_t kInvalidParameterCode = 0xC0000417;   // a C runtime invalid parameter
constexpr std::uint32_t kTerminateCode = 0xE0435201;          // std::terminate, no exception
constexpr std::uint32_t kUncaughtExceptionCode = 0xE0435202;  // a C++ exception nobody caught
constexpr std::uint32_t kPureCallCode = 0xE0435203;           // a pure virtual function called
constexpr std::uint32_t kOutOfMemoryCode = 0xE0435204;        // std::bad_alloc nobody caught

// Not a crash: a watched thread stopped answering. The hung thread's context, taken while it
// was suspended, goes with it, so the stack shows where it waits; the application goes on.
constexpr std::uint32_t kApplicationHangCode = 0xE048414E;  // "application hang"
