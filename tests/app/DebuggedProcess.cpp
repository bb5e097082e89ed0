#include "DebuggedProcess.h"

#include "CrashClient/ReporterLauncher.h"

namespace app_testing {

namespace {

constexpr SIZE_T kMaximumMessageBytes = 64 * 1024;

}  // namespace

DebuggedProcess::~DebuggedProcess()
{
    if (IsRunning()) {
        ::TerminateProcess(process_.get(), 1);
    }
    if (loop_.joinable()) {
        loop_.join();
    }
}

bool DebuggedProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments)
{
    started_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    exited_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!started_ || !exited_) {
        return false;
    }
    loop_ = std::thread(&DebuggedProcess::DebugLoop, this, program,
                        MakeCommandLine(program, arguments));
    ::WaitForSingleObject(started_.get(), INFINITE);
    return createdProcess_;
}

void DebuggedProcess::DebugLoop(std::wstring program, std::wstring commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    startTick_ = ::GetTickCount64();
    createdProcess_ = ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                       DEBUG_ONLY_THIS_PROCESS | CREATE_NO_WINDOW, nullptr, nullptr,
                                       &startup, &info) != FALSE;
    if (createdProcess_) {
        ::CloseHandle(info.hThread);
        process_.reset(info.hProcess);
    }
    ::SetEvent(started_.get());
    if (!createdProcess_) {
        ::SetEvent(exited_.get());
        return;
    }
    for (;;) {
        DEBUG_EVENT event{};
        if (!::WaitForDebugEvent(&event, INFINITE)) {
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        bool ended = false;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile != nullptr) {
                    ::CloseHandle(event.u.CreateProcessInfo.hFile);
                }
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile != nullptr) {
                    ::CloseHandle(event.u.LoadDll.hFile);
                }
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                Record(process_.get(), event.u.DebugString);
                break;
            case EXCEPTION_DEBUG_EVENT:
                // Only the loader's breakpoint is ours; everything else is the debuggee's.
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    continueStatus = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                exitCode_ = event.u.ExitProcess.dwExitCode;
                exitTick_ = ::GetTickCount64();
                ended = true;
                break;
            default:
                break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (ended) {
            break;
        }
    }
    ::SetEvent(exited_.get());
}

void DebuggedProcess::Record(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    // Windows sends the wide form for OutputDebugStringW; Wine sends the narrow one.
    const SIZE_T unit = info.fUnicode ? sizeof(wchar_t) : sizeof(char);
    const SIZE_T bytes = SIZE_T(info.nDebugStringLength) * unit;
    if (bytes == 0 || bytes > kMaximumMessageBytes) {
        return;
    }
    std::vector<char> buffer(bytes);
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, info.lpDebugStringData, buffer.data(), bytes, &read) ||
        read != bytes) {
        return;
    }
    std::string text;
    if (info.fUnicode) {
        const auto* wide = reinterpret_cast<const wchar_t*>(buffer.data());
        for (SIZE_T i = 0; i < bytes / sizeof(wchar_t) && wide[i] != 0; ++i) {
            text += wide[i] < 0x80 ? char(wide[i]) : '?';
        }
    } else {
        text.assign(buffer.data(), strnlen(buffer.data(), bytes));
    }
    win32::CriticalSectionLock hold(lock_);
    messages_.push_back({text, ::GetTickCount64()});
}

std::vector<DebugMessage> DebuggedProcess::Messages() const
{
    win32::CriticalSectionLock hold(lock_);
    return messages_;
}

std::vector<std::string> DebuggedProcess::Texts() const
{
    std::vector<std::string> texts;
    for (const auto& message : Messages()) {
        texts.push_back(message.text);
    }
    return texts;
}

bool DebuggedProcess::WaitForMessage(const std::string& text, DWORD timeoutMs) const
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        for (const auto& message : Messages()) {
            if (message.text == text) {
                return true;
            }
        }
        if (::GetTickCount64() > deadline) {
            return false;
        }
        ::Sleep(20);
    }
}

bool DebuggedProcess::WaitForExit(DWORD timeoutMs) const
{
    return exited_ && ::WaitForSingleObject(exited_.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool DebuggedProcess::IsRunning() const
{
    return process_ && exited_ && ::WaitForSingleObject(exited_.get(), 0) == WAIT_TIMEOUT;
}

}  // namespace app_testing
