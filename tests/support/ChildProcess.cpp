#include "ChildProcess.h"

#include <cstdlib>
#include <sstream>

namespace testing_support {

namespace {

constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryPauseMs = 200;

std::wstring Quote(const std::wstring& text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"') {
            quoted += L'\\';
        }
        quoted += c;
    }
    return quoted + L"\"";
}

}  // namespace

ChildProcess::~ChildProcess()
{
    Kill();
}

bool ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const std::vector<HANDLE>& inherit, DWORD creationFlags)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return false;
    }
    output_.reset(readEnd);
    win32::UniqueHandle childOutput(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE inputRead = nullptr;
    HANDLE inputWrite = nullptr;
    if (!::CreatePipe(&inputRead, &inputWrite, &inheritable, 0)) {
        return false;
    }
    input_.reset(inputWrite);
    win32::UniqueHandle childInput(inputRead);
    ::SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
    for (HANDLE h : inherit) {
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }

    std::wstring commandLine = Quote(program);
    for (const auto& argument : arguments) {
        commandLine += L" " + Quote(argument);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = writeEnd;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    // Under Wine (seen with x64 programs) a start fails now and then when hundreds of
    // processes start in a row; no test here is about that, so a failed start is tried again.
    PROCESS_INFORMATION info{};
    bool started = false;
    for (int attempt = 0; attempt < kStartAttempts && !started; ++attempt) {
        if (attempt > 0) {
            ::Sleep(kStartRetryPauseMs);
        }
        started = ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                   creationFlags, nullptr, nullptr, &startup, &info) != FALSE;
    }
    if (!started) {
        return false;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    processId_ = info.dwProcessId;
    return true;
}

bool ChildProcess::WriteLine(const std::string& line)
{
    const std::string text = line + "\n";
    DWORD written = 0;
    return ::WriteFile(input_.get(), text.data(), DWORD(text.size()), &written, nullptr) &&
           written == text.size();
}

bool ChildProcess::ReadLine(std::string& line, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            pending_.erase(0, end + 1);
            return true;
        }
        DWORD available = 0;
        if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
            return false;  // the child has closed its output
        }
        if (available == 0) {
            if (::GetTickCount64() > deadline) {
                return false;
            }
            ::Sleep(5);
            continue;
        }
        char buffer[4096];
        DWORD read = 0;
        if (!::ReadFile(output_.get(), buffer, available < sizeof(buffer) ? available : sizeof(buffer),
                        &read, nullptr)) {
            return false;
        }
        pending_.append(buffer, read);
    }
}

bool ChildProcess::Wait(DWORD timeoutMs)
{
    return process_ && ::WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildProcess::Kill()
{
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.get(), 1);
        ::WaitForSingleObject(process_.get(), 5000);
    }
}

std::vector<unsigned long long> ParseNumbers(const std::string& line)
{
    std::vector<unsigned long long> numbers;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        numbers.push_back(std::strtoull(word.c_str(), nullptr, 0));
    }
    return numbers;
}

}  // namespace testing_support
