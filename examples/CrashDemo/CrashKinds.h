#pragma once

#include <cstdint>
#include <string>

// The ways the demo (and the test client) can crash, each a real fault of its kind.
enum class CrashKind {
    NullWrite,           // write through a null pointer
    WorkerThread,        // the same on a thread of its own
    IllegalInstruction,  // ud2
    DivideByZero,        // integer division
    StackOverflow,       // unbounded recursion
    Abort,               // abort()
    AbortSignal,         // raise(SIGABRT)
    Terminate,           // std::terminate() with no exception
    UncaughtException,   // a C++ exception nobody catches
    OutOfMemory,         // operator new fails and nobody catches std::bad_alloc
    PureCall,            // a pure virtual function called from a base constructor
    InvalidParameter,    // a null destination to the C runtime's strcpy_s
    Hang,                // not a crash: the window's thread stops reading its messages
};

struct CrashKindInfo {
    CrashKind kind;
    const wchar_t* name;      // on the command line
    std::uint32_t code;       // the exception code the report carries
    const char* description;  // what happens, for the demo's output
};

// Every kind, in the order the demo lists them.
const CrashKindInfo* CrashKinds(std::size_t& count);

// The entry for a command-line name, or null.
const CrashKindInfo* FindCrashKind(const std::wstring& name);

// Done before crash reporting is installed: the invalid-parameter kind needs the universal C
// runtime loaded, as a component built against it would have it.
void PrepareCrash(CrashKind kind);

// How long the hang kind blocks the thread that owns the window.
constexpr unsigned long kDemoHangMs = 8000;

// The hang kind: prints "hung thread <id>: <description>", then blocks the calling thread for
// kDemoHangMs without reading its messages, and returns.
void HangThisThread(const CrashKindInfo& kind);

// Prints "crashing thread <id>: <description>" from the thread that is about to crash, then
// crashes (the hang kind hangs for a while and ends the process with exit code 0). On a worker
// thread for WorkerThread, and for any kind when onWorker is set; the calling thread then waits for
// the end of the process.
[[noreturn]] void Crash(const CrashKindInfo& kind, bool onWorker);
