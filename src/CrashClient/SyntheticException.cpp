#include "CrashClient/SyntheticException.h"

#include <new>

#include "CrashClient/CrashCodes.h"

EXCEPTION_RECORD MakeSyntheticExceptionRecord(std::uint32_t code, const CONTEXT& context)
{
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(context.Eip));
    return record;
}

std::uint32_t TerminateCodeFor(const std::exception_ptr& current)
{
    if (!current) {
        return kTerminateCode;
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
        return kOutOfMemoryCode;
    } catch (...) {
        return kUncaughtExceptionCode;
    }
}
