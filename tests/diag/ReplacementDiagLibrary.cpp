// Stands in for the closed diagnostic library in tests. Every call, and the library's load
// and unload, appends one line to the file named by JXD_TEST_LOG:
//   attach | JXD_InitializeW <code> <a> <b> | JXD_SetUserInformationW <n> <product> <context>
//   | JXD_SetScanLevel <n> | JXD_SetScanOption <n> | JXD_StartScan | JXD_StopScan
//   | JXD_Finalize | detach
// and an "overlap" line whenever a call starts while another is running, or comes from a
// thread other than the one that initialised the library. JXD_TEST_INITIALIZE_RESULT,
// JXD_TEST_SET_USER_INFORMATION_RESULT and JXD_TEST_START_SCAN_RESULT give the results
// (default 0); JXD_TEST_CALL_DELAY_MS keeps each call busy that long, so that overlaps show.
// Built twice: once whole, once without JXD_StopScan (JXD_WITHOUT_STOP_SCAN).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "Win32/UniqueHandle.h"

namespace {

SRWLOCK g_logLock = SRWLOCK_INIT;
LONG g_callsRunning = 0;
LONG g_owner = 0;  // id of the thread that initialised, 0 when not initialised

// Fixed buffers only: this also runs inside DllMain.
bool ReadEnvironment(const wchar_t* name, wchar_t* buffer, DWORD size)
{
    DWORD length = ::GetEnvironmentVariableW(name, buffer, size);
    return length > 0 && length < size;
}

std::int32_t EnvironmentNumber(const wchar_t* name)
{
    wchar_t text[32];
    return ReadEnvironment(name, text, 32) ? std::int32_t(std::wcstol(text, nullptr, 0)) : 0;
}

void AppendLine(const char* text, std::size_t length)
{
    wchar_t path[MAX_PATH * 2];
    if (!ReadEnvironment(L"JXD_TEST_LOG", path, MAX_PATH * 2)) {
        return;
    }
    ::AcquireSRWLockExclusive(&g_logLock);
    {
        win32::UniqueHandle file(::CreateFileW(path, FILE_APPEND_DATA,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            char line[1024];
            std::size_t n = length < sizeof(line) - 1 ? length : sizeof(line) - 1;
            std::memcpy(line, text, n);
            line[n++] = '\n';
            DWORD written = 0;
            ::WriteFile(file.get(), line, DWORD(n), &written, nullptr);
        }
    }
    ::ReleaseSRWLockExclusive(&g_logLock);
}

void AppendLine(const std::string& line)
{
    AppendLine(line.data(), line.size());
}

std::string Utf8(const wchar_t* text)
{
    if (text == nullptr) {
        return "(null)";
    }
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    }
    return out;
}

// One entry point's run: logs it, notices overlaps and holds the call open if asked to.
class Call {
public:
    explicit Call(const std::string& line, bool needsOwner = true)
    {
        AppendLine(line);
        if (::InterlockedIncrement(&g_callsRunning) > 1) {
            AppendLine("overlap");
        }
        if (needsOwner && DWORD(::InterlockedCompareExchange(&g_owner, 0, 0)) !=
                              ::GetCurrentThreadId()) {
            AppendLine("overlap");
        }
        if (std::int32_t delay = EnvironmentNumber(L"JXD_TEST_CALL_DELAY_MS")) {
            ::Sleep(DWORD(delay));
        }
    }
    ~Call() { ::InterlockedDecrement(&g_callsRunning); }

    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
};

std::string Number(std::int32_t value)
{
    return std::to_string(value);
}

}  // namespace

extern "C" {

__declspec(dllexport) std::int32_t __cdecl JXD_InitializeW(const wchar_t* productCode,
                                                            std::int32_t first,
                                                            std::int32_t second)
{
    Call call("JXD_InitializeW " + Utf8(productCode) + " " + Number(first) + " " +
                  Number(second),
              false);
    const std::int32_t result = EnvironmentNumber(L"JXD_TEST_INITIALIZE_RESULT");
    const LONG self = LONG(::GetCurrentThreadId());
    if (result == 0) {
        if (::InterlockedCompareExchange(&g_owner, self, 0) != 0) {
            AppendLine("overlap");  // initialised twice without a finalisation between
        }
    }
    return result;
}

__declspec(dllexport) std::int32_t __cdecl JXD_SetUserInformationW(std::int32_t information,
                                                                    const wchar_t* productName,
                                                                    const wchar_t* contextName)
{
    Call call("JXD_SetUserInformationW " + Number(information) + " " + Utf8(productName) + " " +
              Utf8(contextName));
    return EnvironmentNumber(L"JXD_TEST_SET_USER_INFORMATION_RESULT");
}

__declspec(dllexport) std::int32_t __cdecl JXD_SetScanLevel(std::int32_t level)
{
    Call call("JXD_SetScanLevel " + Number(level));
    return 0;
}

__declspec(dllexport) std::int32_t __cdecl JXD_SetScanOption(std::int32_t option)
{
    Call call("JXD_SetScanOption " + Number(option));
    return 0;
}

__declspec(dllexport) std::int32_t __cdecl JXD_Finalize()
{
    Call call("JXD_Finalize");
    ::InterlockedExchange(&g_owner, 0);
    return 0;
}

__declspec(dllexport) std::int32_t __cdecl JXD_StartScan()
{
    Call call("JXD_StartScan");
    return EnvironmentNumber(L"JXD_TEST_START_SCAN_RESULT");
}

#ifndef JXD_WITHOUT_STOP_SCAN
__declspec(dllexport) std::int32_t __cdecl JXD_StopScan()
{
    Call call("JXD_StopScan");
    return 0;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        AppendLine("attach", 6);
    } else if (reason == DLL_PROCESS_DETACH) {
        AppendLine("detach", 6);
    }
    return TRUE;
}

}  // extern "C"
