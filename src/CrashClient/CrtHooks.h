#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The C runtime's own ways of ending a process without an exception: abort() (SIGABRT), an
// invalid parameter to a checked function, and a pure virtual call in code built against
// that runtime. A process may have more than one runtime loaded (its own, and a component's
// built with another compiler); each loaded one gets the hooks it offers, looked up by name,
// and gets its previous handlers back on Restore.
class CrtHooks {
public:
    using SignalHandler = void(__cdecl*)(int);
    using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*,
                                                   unsigned int, std::uintptr_t);
    using PureCallHandler = void(__cdecl*)();

    struct Handlers {
        SignalHandler abortSignal;
        InvalidParameterHandler invalidParameter;
        PureCallHandler pureCall;
    };

    // What Install found to hook, over all runtimes.
    struct Hooked {
        bool abortSignal = false;
        bool invalidParameter = false;
        bool pureCall = false;
    };

    CrtHooks() = default;
    ~CrtHooks() { Restore(); }
    CrtHooks(const CrtHooks&) = delete;
    CrtHooks& operator=(const CrtHooks&) = delete;

    Hooked Install(const Handlers& handlers);
    void Restore();

private:
    // The runtimes looked for, and at most one record each.
    static constexpr std::size_t kMaxRuntimes = 8;

    using SignalFunction = SignalHandler(__cdecl*)(int, SignalHandler);
    using SetInvalidParameterFunction = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
    using SetPureCallFunction = PureCallHandler(__cdecl*)(PureCallHandler);
    using SetAbortBehaviourFunction = unsigned int(__cdecl*)(unsigned int, unsigned int);

    // One loaded runtime: each entry point it offered and hooked (null otherwise), and the
    // value it had before.
    struct Runtime {
        SignalFunction signal = nullptr;
        SignalHandler previousSignal = nullptr;
        SetInvalidParameterFunction setInvalidParameter = nullptr;
        InvalidParameterHandler previousInvalidParameter = nullptr;
        SetPureCallFunction setPureCall = nullptr;
        PureCallHandler previousPureCall = nullptr;
        SetAbortBehaviourFunction setAbortBehaviour = nullptr;
        unsigned int previousAbortBehaviour = 0;
    };

    Runtime runtimes_[kMaxRuntimes];
    std::size_t count_ = 0;
};
