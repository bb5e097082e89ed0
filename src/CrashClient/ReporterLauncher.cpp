#include "CrashClient/ReporterLauncher.h"

#include <cwchar>
#include <memory>

#include "CrashProtocol/ReporterNames.h"

namespace {

// An attribute list that lets the reporter inherit exactly one handle, so it holds no copy
// of the application's other inheritable handles (its standard streams, for one).
class SingleHandleAttributeList {
public:
    explicit SingleHandleAttributeList(HANDLE handle) : handle_(handle)
    {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_ = std::make_unique<unsigned char[]>(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
        if (::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            list_ = list;
            if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                             sizeof(handle_), nullptr, nullptr)) {
                Delete();
            }
        }
    }
    ~SingleHandleAttributeList() { Delete(); }
    SingleHandleAttributeList(const SingleHandleAttributeList&) = delete;
    SingleHandleAttributeList& operator=(const SingleHandleAttributeList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    void Delete()
    {
        if (list_ != nullptr) {
            ::DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }

    HANDLE handle_;
    std::unique_ptr<unsigned char[]> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

bool StartReporter(const std::wstring& program, std::wstring commandLine, HANDLE inheritedHandle,
                   win32::UniqueHandle& process)
{
    // The reporter is a console program that never writes to its console: give it none.
    const DWORD flags = CREATE_NO_WINDOW;
    PROCESS_INFORMATION info{};
    SingleHandleAttributeList attributes(inheritedHandle);
    bool started = false;
    if (attributes.get() != nullptr) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = attributes.get();
        started = ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                   flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                   &startup.StartupInfo, &info) != FALSE;
    }
    if (!started) {
        // Systems without handle lists: plain inheritance of every inheritable handle.
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        started = ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags,
                                   nullptr, nullptr, &startup, &info) != FALSE;
    }
    if (!started) {
        return false;
    }
    win32::UniqueHandle thread(info.hThread);
    process.reset(info.hProcess);
    return true;
}

}  // namespace

std::wstring FormatHandleArgument(ClientWord handleValue)
{
    wchar_t text[24];
    std::swprintf(text, 24, L"%llx", static_cast<unsigned long long>(handleValue));
    return text;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    // Before the closing quote, too.
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

std::wstring MakeCommandLine(const std::wstring& program,
                             const std::vector<std::wstring>& arguments)
{
    std::wstring line = QuoteArgument(program);
    for (const auto& argument : arguments) {
        line += L" " + QuoteArgument(argument);
    }
    return line;
}

bool ReporterLauncher::Launch(const Options& options, DWORD spawnTimeoutMs)
{
    if (reporterProcess_) {
        return false;
    }
    serverName_ = options.serverName;
    const DWORD processId = ::GetCurrentProcessId();

    // Manual reset: the signal stays until we have seen it. An event left signalled by an
    // earlier reporter of the same server name must not count as this one's answer.
    spawnEvent_.reset(
        ::CreateEventW(nullptr, TRUE, FALSE, MakeSpawnEventName(options.serverName).c_str()));
    if (!spawnEvent_ || !::ResetEvent(spawnEvent_.get())) {
        return false;
    }
    const std::wstring windowEventName = MakeWindowEventName(options.serverName, processId);
    windowEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, windowEventName.c_str()));
    if (!windowEvent_ || !::ResetEvent(windowEvent_.get())) {
        return false;
    }

    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return false;
    }
    win32::UniqueHandle pipeRead(readEnd);
    windowPipeWrite_.reset(writeEnd);
    if (!::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0)) {
        return false;
    }

    std::vector<std::wstring> arguments{
        options.serverName,
        options.collectorHost,
        options.dumpDirectory,
        std::to_wstring(processId),
        FormatHandleArgument(reinterpret_cast<ClientWord>(readEnd)),
        windowEventName};
    arguments.insert(arguments.end(), options.extraFiles.begin(), options.extraFiles.end());
    if (!StartReporter(options.reporterPath, MakeCommandLine(options.reporterPath, arguments),
                       readEnd, reporterProcess_)) {
        return false;
    }
    // The reporter holds its own copy of the read end now.
    pipeRead.reset();

    const HANDLE waits[] = {spawnEvent_.get(), reporterProcess_.get()};
    return ::WaitForMultipleObjects(2, waits, FALSE, spawnTimeoutMs) == WAIT_OBJECT_0;
}

std::wstring ReporterLauncher::PipeName() const
{
    return MakeCrashPipeName(serverName_, std::to_wstring(::GetCurrentProcessId()));
}

bool ReporterLauncher::HandOverWindow(HWND window)
{
    if (!reporterProcess_ || !windowPipeWrite_) {
        return false;
    }
    // The handle's bytes as the reporter of the same width reads them: little-endian, as wide
    // as a pointer.
    const ClientWord value = reinterpret_cast<ClientWord>(window);
    unsigned char bytes[sizeof(ClientWord)];
    for (std::size_t i = 0; i < sizeof(bytes); ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    DWORD written = 0;
    const bool wrote =
        ::WriteFile(windowPipeWrite_.get(), bytes, sizeof(bytes), &written, nullptr) &&
        written == sizeof(bytes);
    windowPipeWrite_.reset();  // read once; a closed pipe also ends a reader that came late
    return wrote && ::SetEvent(windowEvent_.get());
}
