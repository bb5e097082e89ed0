#include "CrashDemo/CrashKinds.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <stdexcept>

#include "CrashClient/CrashCodes.h"

// Outside the anonymous namespace: with the whole hierarchy in view the compiler would call
// the one overrider directly.
namespace pure_call {

class PureBase {
public:
    PureBase() { CallRun(); }
    virtual ~PureBase() = default;
    virtual void Run() = 0;
    // Through a pointer the compiler cannot see through: it would otherwise work out the
    // only overrider and call that instead.
    __attribute__((noinline)) void CallRun()
    {
        PureBase* volatile self = this;
        self->Run();
    }
};

class PureDerived : public PureBase {
public:
    void Run() override {}
};

}  // namespace pure_call

namespace {

const CrashKindInfo kKinds[] = {
    {CrashKind::NullWrite, L"null-write", kAccessViolationCode, "writing through a null pointer"},
    {CrashKind::WorkerThread, L"worker-thread", kAccessViolationCode,
     "writing through a null pointer on a worker thread"},
    {CrashKind::IllegalInstruction, L"illegal-instruction", kIllegalInstructionCode,
     "executing an illegal instruction"},
    {CrashKind::DivideByZero, L"divide-by-zero", kIntegerDivideByZeroCode,
     "dividing an integer by zero"},
    {CrashKind::StackOverflow, L"stack-overflow", kStackOverflowCode,
     "recursing until the stack overflows"},
    {CrashKind::Abort, L"abort", kAbortCode, "calling abort()"},
    {CrashKind::AbortSignal, L"sigabrt", kAbortCode, "raising SIGABRT"},
    {CrashKind::Terminate, L"terminate", kTerminateCode, "calling std::terminate()"},
    {CrashKind::UncaughtException, L"uncaught-exception", kUncaughtExceptionCode,
     "throwing a C++ exception that nobody catches"},
    {CrashKind::OutOfMemory, L"out-of-memory", kOutOfMemoryCode,
     sizeof(void*) == 4
         ? "asking operator new for 3 GiB and not catching std::bad_alloc"
         : "asking operator new for half the address space and not catching std::bad_alloc"},
    {CrashKind::PureCall, L"pure-call", kPureCallCode,
     "calling a pure virtual function from a base constructor"},
    {CrashKind::InvalidParameter, L"invalid-parameter", kInvalidParameterCode,
     "passing a null destination to strcpy_s"},
    {CrashKind::Hang, L"hang", kApplicationHangCode,
     "blocking the window's thread for 8 s (an application hang), then going on"},
};

// Everything below is out of line and goes through volatile data, so the compiler emits the
// faulting instruction itself instead of folding the fault away.

__attribute__((noinline)) void WriteThroughNullPointer()
{
    volatile int* volatile target = nullptr;
    *target = 0xDEAD;
}

__attribute__((noinline)) void DivideByZero()
{
    volatile int dividend = 1;
    volatile int divisor = 0;
    volatile int result = dividend / divisor;
    (void)result;
}

__attribute__((noinline)) int Recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth < 0) {
        return 0;  // never: the stack runs out first
    }
    return Recurse(depth + 1) + frame[0];  // not a tail call: the frame stays
}

__attribute__((noinline)) void ThrowUncaught()
{
    throw std::runtime_error("nobody catches this");
}

__attribute__((noinline)) void AllocateTooMuch()
{
    // More than the address space can give: 3 GiB of 32 bits, half of 64 bits.
    volatile std::size_t size = sizeof(void*) == 4 ? std::size_t(3) << 30 : SIZE_MAX / 2;
    char* volatile block = new char[size];
    block[0] = 1;
}

using StrcpySFunction = int(__cdecl*)(char*, std::size_t, const char*);

__attribute__((noinline)) void PassInvalidParameter()
{
    // Through every runtime that has the function: the program's own first, then the
    // universal runtime, whose checked functions call the invalid-parameter handler.
    for (const wchar_t* runtime : {L"msvcrt.dll", L"ucrtbase.dll"}) {
        HMODULE module = ::GetModuleHandleW(runtime);
        auto strcpyS = module == nullptr
                           ? nullptr
                           : reinterpret_cast<StrcpySFunction>(
                                 reinterpret_cast<void*>(::GetProcAddress(module, "strcpy_s")));
        if (strcpyS != nullptr) {
            char* volatile destination = nullptr;
            strcpyS(destination, 1, "x");
        }
    }
    std::printf("no runtime called its invalid-parameter handler\n");
    std::fflush(stdout);
    std::exit(3);
}

volatile bool blockEnded = false;

__attribute__((noinline)) void BlockWithoutReadingMessages()
{
    ::Sleep(kDemoHangMs);
    blockEnded = true;  // not a tail call: this frame stays on the stack while it sleeps
}

[[noreturn]] void CrashHere(const CrashKindInfo& kind)
{
    if (kind.kind == CrashKind::Hang) {
        HangThisThread(kind);
        std::exit(0);
    }
    std::printf("crashing thread %lu: %s\n", ::GetCurrentThreadId(), kind.description);
    std::fflush(stdout);
    switch (kind.kind) {
        case CrashKind::NullWrite:
        case CrashKind::WorkerThread:
            WriteThroughNullPointer();
            break;
        case CrashKind::IllegalInstruction:
            __builtin_trap();
        case CrashKind::DivideByZero:
            DivideByZero();
            break;
        case CrashKind::StackOverflow:
            Recurse(0);
            break;
        case CrashKind::Abort:
            std::abort();
        case CrashKind::AbortSignal:
            std::raise(SIGABRT);
            break;
        case CrashKind::Terminate:
            std::terminate();
        case CrashKind::UncaughtException:
            ThrowUncaught();
            break;
        case CrashKind::OutOfMemory:
            AllocateTooMuch();
            break;
        case CrashKind::PureCall: {
            pure_call::PureDerived object;
            break;
        }
        case CrashKind::InvalidParameter:
            PassInvalidParameter();
            break;
        case CrashKind::Hang:
            break;
    }
    std::printf("the crash did not happen\n");
    std::fflush(stdout);
    std::exit(3);
}

DWORD WINAPI CrashOnWorker(void* kind)
{
    CrashHere(*static_cast<const CrashKindInfo*>(kind));
}

}  // namespace

const CrashKindInfo* CrashKinds(std::size_t& count)
{
    count = std::size(kKinds);
    return kKinds;
}

const CrashKindInfo* FindCrashKind(const std::wstring& name)
{
    for (const CrashKindInfo& kind : kKinds) {
        if (name == kind.name) {
            return &kind;
        }
    }
    return nullptr;
}

void HangThisThread(const CrashKindInfo& kind)
{
    std::printf("hung thread %lu: %s\n", ::GetCurrentThreadId(), kind.description);
    std::fflush(stdout);
    BlockWithoutReadingMessages();
    std::printf("the window's thread goes on\n");
    std::fflush(stdout);
}

void PrepareCrash(CrashKind kind)
{
    if (kind == CrashKind::InvalidParameter) {
        ::LoadLibraryW(L"ucrtbase.dll");  // stays loaded for the rest of the process
    }
}

void Crash(const CrashKindInfo& kind, bool onWorker)
{
    if (onWorker || kind.kind == CrashKind::WorkerThread) {
        HANDLE worker = ::CreateThread(nullptr, 0, CrashOnWorker, const_cast<CrashKindInfo*>(&kind),
                                       0, nullptr);
        if (worker != nullptr) {
            ::WaitForSingleObject(worker, INFINITE);  // the crash ends the process first
        }
        std::printf("the worker thread did not crash the process\n");
        std::fflush(stdout);
        std::exit(3);
    }
    CrashHere(kind);
}
