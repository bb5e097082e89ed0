#include "CrashClient/CrtHooks.h"

#include <csignal>
#include <iterator>

namespace {

// The runtime libraries a process may have loaded, by the names they load under. Only
// those already loaded are touched; none is loaded for this.
constexpr const wchar_t* kRuntimeModules[] = {
    L"msvcrt.dll",   L"ucrtbase.dll", L"msvcr120.dll", L"msvcr110.dll",
    L"msvcr100.dll", L"msvcr90.dll",  L"msvcr80.dll",
};

// abort()'s message and its report to the system's error reporting both come before the
// process ends: the message box of a windowed program waits for a click, and the report
// ends the process on its own. The crash report replaces both.
constexpr unsigned int kWriteAbortMessage = 0x1;  // _WRITE_ABORT_MSG
constexpr unsigned int kCallReportFault = 0x2;    // _CALL_REPORTFAULT
constexpr unsigned int kAbortBehaviourMask = kWriteAbortMessage | kCallReportFault;

template <typename Function>
Function LookUp(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// SIG_ERR as the runtime returns it.
const CrtHooks::SignalHandler kSignalError = reinterpret_cast<CrtHooks::SignalHandler>(-1);

}  // namespace

CrtHooks::Hooked CrtHooks::Install(const Handlers& handlers)
{
    Hooked hooked;
    for (const wchar_t* name : kRuntimeModules) {
        HMODULE module = ::GetModuleHandleW(name);
        if (module == nullptr || count_ == kMaxRuntimes) {
            continue;
        }
        Runtime& runtime = runtimes_[count_++];
        if (auto signal = LookUp<SignalFunction>(module, "signal")) {
            const SignalHandler previous = signal(SIGABRT, handlers.abortSignal);
            if (previous != kSignalError) {
                runtime.signal = signal;
                runtime.previousSignal = previous;
            }
        }
        if (auto set =
                LookUp<SetInvalidParameterFunction>(module, "_set_invalid_parameter_handler")) {
            runtime.previousInvalidParameter = set(handlers.invalidParameter);
            runtime.setInvalidParameter = set;
        }
        if (auto set = LookUp<SetPureCallFunction>(module, "_set_purecall_handler")) {
            runtime.previousPureCall = set(handlers.pureCall);
            runtime.setPureCall = set;
        }
        if (auto set = LookUp<SetAbortBehaviourFunction>(module, "_set_abort_behavior")) {
            runtime.previousAbortBehaviour = set(0, kAbortBehaviourMask);
            runtime.setAbortBehaviour = set;
        }
        hooked.abortSignal |= runtime.signal != nullptr;
        hooked.invalidParameter |= runtime.setInvalidParameter != nullptr;
        hooked.pureCall |= runtime.setPureCall != nullptr;
    }
    return hooked;
}

void CrtHooks::Restore()
{
    for (std::size_t i = count_; i-- > 0;) {
        Runtime& runtime = runtimes_[i];
        if (runtime.signal != nullptr) {
            runtime.signal(SIGABRT, runtime.previousSignal);
        }
        if (runtime.setInvalidParameter != nullptr) {
            runtime.setInvalidParameter(runtime.previousInvalidParameter);
        }
        if (runtime.setPureCall != nullptr) {
            runtime.setPureCall(runtime.previousPureCall);
        }
        if (runtime.setAbortBehaviour != nullptr) {
            runtime.setAbortBehaviour(runtime.previousAbortBehaviour & kAbortBehaviourMask,
                                      kAbortBehaviourMask);
        }
        runtime = Runtime{};
    }
    count_ = 0;
}
