#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

// A crash that the runtime ends without an exception (abort, terminate, a pure call, an
// invalid parameter) is recorded as one: a non-continuable exception with the code of its
// kind, at the instruction where the thread's context was captured.
EXCEPTION_RECORD MakeSyntheticExceptionRecord(std::uint32_t code, const CONTEXT& context);

// The instruction pointer of a captured context, whatever the processor's register is named.
std::uintptr_t InstructionPointerOf(const CONTEXT& context);

// The code a call to std::terminate is reported with: an uncaught std::bad_alloc is out of
// memory, any other exception in flight is an uncaught exception, none is a bare terminate.
std::uint32_t TerminateCodeFor(const std::exception_ptr& current);

// The readable type name of an exception in flight and, for one derived from std::exception,
// its what(): for the report of an uncaught exception.
void DescribeException(const std::exception_ptr& current, std::string& type, std::string& message);
