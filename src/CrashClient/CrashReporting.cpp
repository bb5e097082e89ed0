#include "CrashClient/CrashReporting.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "CrashClient/CrashCodes.h"
#include "CrashClient/CrashHandlerThread.h"
#include "CrashClient/CrtHooks.h"
#include "CrashClient/FilterGuard.h"
#include "CrashClient/ReporterLauncher.h"
#include "CrashClient/SyntheticException.h"
#include "CrashProtocol/Annotations.h"
#include "Win32/CriticalSection.h"

namespace {

// How long the crash path waits for a thread that is writing an annotation.
constexpr DWORD kAnnotationHoldMs = 1000;
// Beyond the waits of the report itself, before a crashing thread stops waiting for it.
constexpr DWORD kHandOverMarginMs = 5000;

win32::CriticalSection& InstallLock()
{
    static win32::CriticalSection lock;
    return lock;
}

}  // namespace

// Everything one Install owns. The handlers are plain functions, so they reach it through
// one process-wide pointer, set while it is installed.
class CrashReporting::State {
public:
    explicit State(const Options& options) : options_(options), client_(options.annotationCapacity)
    {
        for (const auto& annotation : options.annotations) {
            client_.SetAnnotation(annotation.first, annotation.second);
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    InstallResult Start();
    void Stop();

    void ReportCrash(EXCEPTION_POINTERS* exception);
    CrashClient::DumpWait RequestReport(DWORD threadId, EXCEPTION_POINTERS* exception,
                                        bool holdAnnotations);
    Registration WaitForRegistration(DWORD timeoutMs);
    bool SetWindow(HWND window);

    CrashClient& client() { return client_; }

private:
    static DWORD WINAPI Register(void* self);
    static void HandleCrash(void* self, DWORD threadId, EXCEPTION_POINTERS* exception);
    unsigned int InstallHandlers();
    void RestoreHandlers();

    const Options options_;
    CrashClient client_;
    ReporterLauncher launcher_;
    CrashHandlerThread handlerThread_;
    CrtHooks crtHooks_;
    FilterGuard filterGuard_;
    bool handlersInstalled_ = false;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter_ = nullptr;
    PVOID stackOverflowHandler_ = nullptr;  // x64: the vectored handler for stack overflows
    std::terminate_handler previousTerminate_ = nullptr;

    win32::UniqueHandle registrationThread_;
    DWORD registrationThreadId_ = 0;
    win32::UniqueHandle registrationDone_;
    volatile LONG registration_ = static_cast<LONG>(Registration::Pending);

    win32::CriticalSection windowLock_;
    HWND pendingWindow_ = nullptr;
    bool windowPending_ = false;  // null is a window too: "there is none"
    bool launched_ = false;

    // One request at a time: the reporter absorbs a request made while it handles another,
    // so a crash during ReportNow waits for it rather than be lost.
    win32::UniqueHandle requestGate_;
    volatile LONG crashingThread_ = 0;
};

namespace {

CrashReporting::State* volatile installed = nullptr;

[[noreturn]] void ReportAndEnd(EXCEPTION_POINTERS* exception)
{
    const UINT exitCode = exception != nullptr && exception->ExceptionRecord != nullptr
                              ? exception->ExceptionRecord->ExceptionCode
                              : kTerminateCode;
    if (CrashReporting::State* state = installed) {
        state->ReportCrash(exception);
    }
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    for (;;) {
        ::Sleep(INFINITE);  // the process is ending
    }
}

// Out of line, so the captured context is this frame's, with the caller's frames above it.
[[noreturn]] __attribute__((noinline)) void ReportSynthetic(std::uint32_t code)
{
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = MakeSyntheticExceptionRecord(code, context);
    EXCEPTION_POINTERS pointers{&record, &context};
    ReportAndEnd(&pointers);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception)
{
    ReportAndEnd(exception);
}

#ifdef _WIN64
// On x64 the way from a fault to the unhandled-exception filter unwinds on the faulting
// thread's own stack, which an overflow has used up (under Wine the thread then ends without
// reaching any filter). The overflow is taken here instead, before any frame is searched,
// with the little stack the guard page left: the crash is only handed over.
LONG CALLBACK OnStackOverflow(EXCEPTION_POINTERS* exception)
{
    if (exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        ReportAndEnd(exception);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
#endif

void __cdecl OnAbortSignal(int)
{
    ReportSynthetic(kAbortCode);
}

std::wstring Widened(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             &wide[0], static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return wide;
}

// What the exception was goes with the report; best effort, since the process is failing.
void AnnotateUncaughtException(const std::exception_ptr& current) noexcept
{
    try {
        std::string type;
        std::string message;
        DescribeException(current, type, message);
        CrashReporting::SetAnnotation(kExceptionTypeAnnotation, Widened(type));
        CrashReporting::SetAnnotation(kExceptionMessageAnnotation, Widened(message));
    } catch (...) {
    }
}

void OnTerminate()
{
    const std::exception_ptr current = std::current_exception();
    const std::uint32_t code = TerminateCodeFor(current);
    if (code == kUncaughtExceptionCode) {
        AnnotateUncaughtException(current);
    }
    ReportSynthetic(code);
}

void __cdecl OnPureCall()
{
    ReportSynthetic(kPureCallCode);
}

void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                std::uintptr_t)
{
    ReportSynthetic(kInvalidParameterCode);
}

[[noreturn]] void VirtualCallFailed(const char* message)
{
    if (installed != nullptr) {
        ReportSynthetic(kPureCallCode);
    }
    // What the C++ runtime does without us.
    std::fputs(message, stderr);
    std::terminate();
}

}  // namespace

// The C++ runtime calls these for a call through a vtable slot of a pure virtual (or deleted)
// function; defining them here replaces the runtime's, which write a line and terminate.
extern "C" void __cxa_pure_virtual()
{
    VirtualCallFailed("pure virtual method called\n");
}

extern "C" void __cxa_deleted_virtual()
{
    VirtualCallFailed("deleted virtual method called\n");
}

CrashReporting::InstallResult CrashReporting::State::Start()
{
    InstallResult result;
    registrationDone_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    requestGate_.reset(::CreateMutexW(nullptr, FALSE, nullptr));
    if (!registrationDone_ || !requestGate_ || !handlerThread_.Start(HandleCrash, this)) {
        result.failure = InstallFailure::NoResources;
        return result;
    }
    installed = this;
    result.missingHandlers = InstallHandlers();
    registrationThread_.reset(
        ::CreateThread(nullptr, 0, Register, this, 0, &registrationThreadId_));
    if (!registrationThread_) {
        RestoreHandlers();
        installed = nullptr;
        result.failure = InstallFailure::NoResources;
    }
    return result;
}

void CrashReporting::State::Stop()
{
    RestoreHandlers();
    installed = nullptr;
    handlerThread_.Stop();
    if (registrationThread_) {
        // Bounded by the start and registration time-outs.
        ::WaitForSingleObject(registrationThread_.get(), INFINITE);
    }
}

unsigned int CrashReporting::State::InstallHandlers()
{
    unsigned int missing = 0;
    handlersInstalled_ = true;
    previousFilter_ = ::SetUnhandledExceptionFilter(OnUnhandledException);
    if (!filterGuard_.Engage()) {
        missing |= kMissingFilterGuard;
    }
#ifdef _WIN64
    constexpr ULONG kCallLast = 0;  // behind any vectored handler the application has
    stackOverflowHandler_ = ::AddVectoredExceptionHandler(kCallLast, OnStackOverflow);
#endif
    previousTerminate_ = std::set_terminate(OnTerminate);
    const CrtHooks::Hooked hooked =
        crtHooks_.Install(CrtHooks::Handlers{OnAbortSignal, OnInvalidParameter, OnPureCall});
    if (!hooked.abortSignal) {
        missing |= kMissingAbortSignal;
    }
    if (!hooked.invalidParameter) {
        missing |= kMissingInvalidParameter;
    }
    return missing;
}

void CrashReporting::State::RestoreHandlers()
{
    if (!handlersInstalled_) {
        return;
    }
    handlersInstalled_ = false;
    crtHooks_.Restore();
    std::set_terminate(previousTerminate_);
    filterGuard_.Disengage();
    ::SetUnhandledExceptionFilter(previousFilter_);
    if (stackOverflowHandler_ != nullptr) {
        ::RemoveVectoredExceptionHandler(stackOverflowHandler_);
        stackOverflowHandler_ = nullptr;
    }
}

DWORD WINAPI CrashReporting::State::Register(void* self)
{
    auto* state = static_cast<State*>(self);
    const Options& options = state->options_;
    ReporterLauncher::Options launch{options.reporterPath, options.serverName,
                                     options.collectorHost, options.dumpDirectory,
                                     options.extraFiles};
    Registration outcome = Registration::ReporterNotStarted;
    if (state->launcher_.Launch(launch, options.startTimeoutMs)) {
        {
            // The reporter looks for the window from its start on.
            win32::CriticalSectionLock lock(state->windowLock_);
            state->launched_ = true;
            if (state->windowPending_) {
                state->launcher_.HandOverWindow(state->pendingWindow_);
            }
        }
        outcome = state->client_.Register(state->launcher_.PipeName(), options.dumpType,
                                          options.registerTimeoutMs)
                      ? Registration::Registered
                      : Registration::Refused;
    }
    ::InterlockedExchange(&state->registration_, static_cast<LONG>(outcome));
    ::SetEvent(state->registrationDone_.get());
    return 0;
}

CrashReporting::Registration CrashReporting::State::WaitForRegistration(DWORD timeoutMs)
{
    ::WaitForSingleObject(registrationDone_.get(), timeoutMs);
    return static_cast<Registration>(::InterlockedCompareExchange(&registration_, 0, 0));
}

bool CrashReporting::State::SetWindow(HWND window)
{
    win32::CriticalSectionLock lock(windowLock_);
    if (launched_) {
        return launcher_.HandOverWindow(window);
    }
    pendingWindow_ = window;
    windowPending_ = true;
    return true;
}

void CrashReporting::State::ReportCrash(EXCEPTION_POINTERS* exception)
{
    const DWORD self = ::GetCurrentThreadId();
    if (self == handlerThread_.ThreadId() || self == registrationThreadId_) {
        return;  // the reporting itself crashed: end at once, there is nobody left to ask
    }
    const LONG first = ::InterlockedCompareExchange(&crashingThread_, static_cast<LONG>(self), 0);
    if (first == static_cast<LONG>(self)) {
        return;  // a crash inside this thread's own crash handling
    }
    if (first != 0) {
        // Another thread's crash is being reported, and that report ends the process.
        for (;;) {
            ::Sleep(INFINITE);
        }
    }
    const DWORD bound = options_.crashWaitForRegistrationMs + kAnnotationHoldMs +
                        2 * options_.dumpTimeoutMs + kHandOverMarginMs;
    handlerThread_.Handle(self, exception, bound);
}

void CrashReporting::State::HandleCrash(void* self, DWORD threadId, EXCEPTION_POINTERS* exception)
{
    auto* state = static_cast<State*>(self);
    if (state->options_.onCrash != nullptr) {
        state->options_.onCrash(state->options_.onCrashContext);
    }
    state->RequestReport(threadId, exception, true);
}

CrashClient::DumpWait CrashReporting::State::RequestReport(DWORD threadId,
                                                           EXCEPTION_POINTERS* exception,
                                                           bool holdAnnotations)
{
    if (WaitForRegistration(options_.crashWaitForRegistrationMs) != Registration::Registered) {
        return CrashClient::DumpWait::Failed;
    }
    const DWORD gate = ::WaitForSingleObject(requestGate_.get(), options_.dumpTimeoutMs);
    if (gate != WAIT_OBJECT_0 && gate != WAIT_ABANDONED) {
        return CrashClient::DumpWait::TimedOut;
    }
    const bool held = holdAnnotations && client_.Annotations().Hold(kAnnotationHoldMs);
    const CrashClient::DumpWait result =
        client_.RequestDump(threadId, exception, options_.dumpTimeoutMs);
    if (held) {
        client_.Annotations().Release();
    }
    ::ReleaseMutex(requestGate_.get());
    return result;
}

CrashReporting::InstallResult CrashReporting::Install(const Options& options)
{
    win32::CriticalSectionLock lock(InstallLock());
    InstallResult result;
    if (installed != nullptr) {
        result.failure = InstallFailure::AlreadyInstalled;
        return result;
    }
    if (options.reporterPath.empty() || options.serverName.empty() ||
        options.collectorHost.empty() || options.dumpDirectory.empty() ||
        options.annotationCapacity > kMaxAnnotationCount ||
        options.annotations.size() > options.annotationCapacity) {
        result.failure = InstallFailure::InvalidOptions;
        return result;
    }
    const DWORD attributes = ::GetFileAttributesW(options.reporterPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result.failure = InstallFailure::ReporterNotFound;
        return result;
    }
    auto* state = new (std::nothrow) State(options);
    if (state == nullptr) {
        result.failure = InstallFailure::NoResources;
        return result;
    }
    result = state->Start();
    if (!result.Installed()) {
        state->Stop();
        delete state;
    }
    return result;
}

void CrashReporting::Uninstall()
{
    win32::CriticalSectionLock lock(InstallLock());
    State* state = installed;
    if (state == nullptr) {
        return;
    }
    state->Stop();
    delete state;
}

bool CrashReporting::SetWindow(HWND window)
{
    State* state = installed;
    return state != nullptr && state->SetWindow(window);
}

bool CrashReporting::SetAnnotation(const std::wstring& name, const std::wstring& value)
{
    State* state = installed;
    return state != nullptr && state->client().SetAnnotation(name, value);
}

CrashClient::DumpWait CrashReporting::ReportNow(const std::wstring& reason)
{
    State* state = installed;
    if (state == nullptr) {
        return CrashClient::DumpWait::Failed;
    }
    CrashClient& client = state->client();
    client.SetAnnotation(kReportReasonAnnotation, reason);
    // Writers are not held off here: the application goes on while its report is made.
    const CrashClient::DumpWait result =
        state->RequestReport(::GetCurrentThreadId(), nullptr, false);
    client.SetAnnotation(kReportReasonAnnotation, L"");
    return result;
}

CrashReporting::Registration CrashReporting::WaitForRegistration(DWORD timeoutMs)
{
    State* state = installed;
    return state != nullptr ? state->WaitForRegistration(timeoutMs) : Registration::NotInstalled;
}

std::wstring CrashReporting::PathBesideProgram(const std::wstring& fileName)
{
    // Grown until the path fits: a program may live deeper than MAX_PATH.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1) + fileName;
}

const char* InstallFailureText(CrashReporting::InstallFailure failure)
{
    switch (failure) {
        case CrashReporting::InstallFailure::None:
            return "None";
        case CrashReporting::InstallFailure::AlreadyInstalled:
            return "AlreadyInstalled";
        case CrashReporting::InstallFailure::InvalidOptions:
            return "InvalidOptions";
        case CrashReporting::InstallFailure::ReporterNotFound:
            return "ReporterNotFound";
        default:
            return "NoResources";
    }
}

const char* RegistrationText(CrashReporting::Registration registration)
{
    switch (registration) {
        case CrashReporting::Registration::NotInstalled:
            return "NotInstalled";
        case CrashReporting::Registration::Pending:
            return "Pending";
        case CrashReporting::Registration::Registered:
            return "Registered";
        case CrashReporting::Registration::ReporterNotStarted:
            return "ReporterNotStarted";
        default:
            return "Refused";
    }
}
