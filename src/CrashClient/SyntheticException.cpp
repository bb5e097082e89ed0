#include "CrashClient/SyntheticException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <new>
#include <typeinfo>

#include "CrashClient/CrashCodes.h"

EXCEPTION_RECORD MakeSyntheticExceptionRecord(std::uint32_t code, const CONTEXT& context)
{
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<PVOID>(InstructionPointerOf(context));
    return record;
}

std::uintptr_t InstructionPointerOf(const CONTEXT& context)
{
#ifdef _WIN64
    return context.Rip;
#else
    return context.Eip;
#endif
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

namespace {

std::string Demangled(const char* name)
{
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string text = status == 0 && readable != nullptr ? readable : name;
    std::free(readable);
    return text;
}

}  // namespace

void DescribeException(const std::exception_ptr& current, std::string& type, std::string& message)
{
    type.clear();
    message.clear();
    if (!current) {
        return;
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        type = Demangled(typeid(e).name());
        message = e.what();
    } catch (...) {
        const std::type_info* info = abi::__cxa_current_exception_type();
        type = info != nullptr ? Demangled(info->name()) : std::string();
    }
}
