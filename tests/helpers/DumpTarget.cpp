// A process to be dumped. It keeps a 776-byte client block with a known pattern and the two
// variables a crash handler fills in, then reports their addresses on its standard output:
//   "<thread id> <exception pointers value> <thread id address> <exception pointers address>
//    <client block address>"
// and waits to be dumped and killed.
//   DumpTarget crash    raises a real access violation and reports from inside the handler
//   DumpTarget idle     reports without any exception (exception pointers value 0)
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

constexpr std::size_t kBlockSize = 776;
unsigned char g_clientBlock[kBlockSize];
volatile DWORD g_threadId = 0;
volatile std::uintptr_t g_exceptionPointers = 0;

unsigned long long Address(const volatile void* p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

void Report()
{
    std::printf("%lu 0x%llx 0x%llx 0x%llx 0x%llx\n", static_cast<unsigned long>(g_threadId),
                static_cast<unsigned long long>(g_exceptionPointers), Address(&g_threadId),
                Address(&g_exceptionPointers), Address(g_clientBlock));
    std::fflush(stdout);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers)
{
    g_threadId = ::GetCurrentThreadId();
    g_exceptionPointers = reinterpret_cast<std::uintptr_t>(pointers);
    Report();
    ::Sleep(INFINITE);  // stay inside the handler: the record must live while we are dumped
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        g_clientBlock[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    if (argc > 1 && std::wcscmp(argv[1], L"crash") == 0) {
        ::AddVectoredExceptionHandler(1, OnException);
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    g_threadId = ::GetCurrentThreadId();
    Report();
    ::Sleep(INFINITE);
    return 0;
}
