#include "CrashClient/CrashReporting.h"

#include <cstdio>
#include <cstring>
#include <cstddef>
#include <exception>
#include <iterator>
#include <new>
#include <string>

#include "CrashClient/CrashCodes.h"
#include "CrashClient/CrashHandlerThread.h"
#include "CrashClient/CrtHooks.h"
#include "CrashClient/FilterGuard.h"
#include "CrashClient/HangWatchdog.h"
#include "CrashClient/LocalReports.h"
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

DWORD MillisecondsUntil(ULONGLONG deadline)
{
    const ULONGLONG now = ::GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

}  // namespace

// Everything one Install owns. The handlers are plain functions, so they reach it through
// one process-wide pointer, set while it is installed. Every use holds a reference, so an
// Uninstall on another thread only unpublishes it and puts the handlers back; the last
// reference frees it.
class CrashReporting::State {
public:
    explicit State(const Options& options) : options_(options), client_(options.annotationCapacity)
    {
        for (const auto& annotation : options.annotations) {
            client_.SetAnnotation(annotation.first, annotation.second);
        }
    }
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Publishes the state and puts the handlers in place, or fails and publishes nothing.
    InstallResult Start();
    // Unpublishes the state and puts back the handlers; users holding a reference go on.
    void Stop();

    void AddReference() { ::InterlockedIncrement(&references_); }
    static void Release(State* state);

    void ReportCrash(EXCEPTION_POINTERS* exception);
    CrashClient::DumpWait ReportNow(const std::wstring& reason);
    Registration WaitForRegistration(DWORD timeoutMs);
    bool SetWindow(HWND window);

    CrashClient& client() { return client_; }
    HangWatchdog& watchdog() { return watchdog_; }

private:
    static DWORD WINAPI Register(void* self);
    static void HandleCrash(void* self, DWORD threadId, EXCEPTION_POINTERS* exception);
    static void ReportHang(void* self, DWORD threadId, EXCEPTION_POINTERS* exception,
                           DWORD silentMs);

    // An annotation that goes with one report only.
    struct OneReportAnnotation {
        const wchar_t* name;
        std::wstring value;
    };
    // One request at a time, with its own annotations; every wait after the registration's
    // ends by the deadline.
    CrashClient::DumpWait RequestReport(DWORD threadId, EXCEPTION_POINTERS* exception,
                                        const OneReportAnnotation* own, std::size_t ownCount,
                                        bool holdAnnotations, ULONGLONG deadline);
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
    volatile LONG references_ = 1;  // the installation's own, and one per use

    // Last, so that it stops before anything its reports use goes.
    HangWatchdog watchdog_;
};

namespace {

// Guards the published state and the taking of a reference to it: held for nothing else,
// so the crash path can take it too.
win32::CriticalSection& PublishLock()
{
    static win32::CriticalSection lock;
    return lock;
}

CrashReporting::State* installed = nullptr;

// The filter in place before Install, for a filter that chains to ours after Uninstall.
LPTOP_LEVEL_EXCEPTION_FILTER volatile filterBeforeInstall = nullptr;

// The installed state with a reference taken, or null.
CrashReporting::State* AcquireInstalled()
{
    win32::CriticalSectionLock lock(PublishLock());
    if (installed != nullptr) {
        installed->AddReference();
    }
    return installed;
}

// Only looks: the crash path takes its reference in ReportAndEnd, and never gives it back.
bool IsInstalled()
{
    win32::CriticalSectionLock lock(PublishLock());
    return installed != nullptr;
}

// A reference to the installed state for the length of one call.
class InstalledState {
public:
    InstalledState() : state_(AcquireInstalled()) {}
    ~InstalledState()
    {
        if (state_ != nullptr) {
            CrashReporting::State::Release(state_);
        }
    }
    InstalledState(const InstalledState&) = delete;
    InstalledState& operator=(const InstalledState&) = delete;

    CrashReporting::State* operator->() const { return state_; }
    explicit operator bool() const { return state_ != nullptr; }

private:
    CrashReporting::State* const state_;
};

[[noreturn]] void ReportAndEnd(EXCEPTION_POINTERS* exception)
{
    const UINT exitCode = exception != nullptr && exception->ExceptionRecord != nullptr
                              ? exception->ExceptionRecord->ExceptionCode
                              : kTerminateCode;
    // The reference is never given back: the process ends with it.
    if (CrashReporting::State* state = AcquireInstalled()) {
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
    if (!IsInstalled()) {
        // Reached after Uninstall through a filter that chained to ours: hand on, as the
        // filter it displaced would have.
        const LPTOP_LEVEL_EXCEPTION_FILTER before = filterBeforeInstall;
        return before != nullptr && before != OnUnhandledException ? before(exception)
                                                                   : EXCEPTION_CONTINUE_SEARCH;
    }
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
    if (IsInstalled()) {
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
    // The watchdog runs before the state is published: Heartbeat may come at once.
    if (!registrationDone_ || !requestGate_ || !handlerThread_.Start(HandleCrash, this) ||
        (options_.watchForHangs &&
         !watchdog_.Start(HangWatchdog::Settings{options_.hangThresholdMs}, ReportHang, this))) {
        result.failure = InstallFailure::NoResources;
        return result;
    }
    {
        win32::CriticalSectionLock lock(PublishLock());
        installed = this;
    }
    result.missingHandlers = InstallHandlers();
    registrationThread_.reset(
        ::CreateThread(nullptr, 0, Register, this, 0, &registrationThreadId_));
    if (!registrationThread_) {
        Stop();
        result.failure = InstallFailure::NoResources;
    }
    return result;
}

void CrashReporting::State::Stop()
{
    {
        win32::CriticalSectionLock lock(PublishLock());
        if (installed == this) {
            installed = nullptr;
        }
    }
    RestoreHandlers();
    watchdog_.Stop();
}

CrashReporting::State::~State()
{
    handlerThread_.Stop();
    if (registrationThread_) {
        // Bounded by the start and registration time-outs.
        ::WaitForSingleObject(registrationThread_.get(), INFINITE);
    }
}

void CrashReporting::State::Release(State* state)
{
    if (::InterlockedDecrement(&state->references_) == 0) {
        delete state;
    }
}

unsigned int CrashReporting::State::InstallHandlers()
{
    unsigned int missing = 0;
    handlersInstalled_ = true;
    previousFilter_ = ::SetUnhandledExceptionFilter(OnUnhandledException);
    filterBeforeInstall = previousFilter_;
    if (!filterGuard_.Engage(OnUnhandledException)) {
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
    // A filter other code asked for while installed is what it expects to be in place now;
    // one that asked for ours back, or nobody, leaves the filter from before.
    const LPTOP_LEVEL_EXCEPTION_FILTER displaced = FilterGuard::Displaced();
    ::SetUnhandledExceptionFilter(FilterGuard::AnyDisplaced() && displaced != OnUnhandledException
                                      ? displaced
                                      : previousFilter_);
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
    // Here rather than in Install: a folder of many reports must not hold the application up.
    TrimLocalReports(LocalReportFolder(options.reporterPath, options.dumpDirectory),
                     LocalReportLimits{options.keepReports, options.keepReportBytes});
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
    if (options_.watchForHangs) {
        watchdog_.WatchWindow(window);
    }
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
    if (self == handlerThread_.ThreadId() || self == registrationThreadId_ ||
        self == watchdog_.ThreadId()) {
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
    const Options& options = state->options_;
    // One budget for every wait, so that a report still running when the crash came (a
    // ReportNow that timed out, or one on another thread) may use what the registration
    // did not, and the crash still gets its own dump.
    const ULONGLONG deadline =
        ::GetTickCount64() + options.crashWaitForRegistrationMs + 2ULL * options.dumpTimeoutMs;
    if (options.onCrash != nullptr) {
        options.onCrash(options.onCrashContext);
    }
    if (state->WaitForRegistration(options.crashWaitForRegistrationMs) !=
        Registration::Registered) {
        return;
    }
    state->RequestReport(threadId, exception, nullptr, 0, true, deadline);
}

void CrashReporting::State::ReportHang(void* self, DWORD threadId, EXCEPTION_POINTERS* exception,
                                       DWORD silentMs)
{
    auto* state = static_cast<State*>(self);
    // The watchdog does not wait for a registration: a hang before it goes unreported.
    if (state->WaitForRegistration(0) != Registration::Registered) {
        return;
    }
    const OneReportAnnotation own[] = {
        {kReportReasonAnnotation, kHangReason},
        {kHangMillisecondsAnnotation, std::to_wstring(silentMs)},
        {kHangThreadAnnotation, std::to_wstring(threadId)},
    };
    state->RequestReport(threadId, exception, own, std::size(own), false,
                         ::GetTickCount64() + state->options_.dumpTimeoutMs);
}

CrashClient::DumpWait CrashReporting::State::ReportNow(const std::wstring& reason)
{
    if (WaitForRegistration(options_.crashWaitForRegistrationMs) != Registration::Registered) {
        return CrashClient::DumpWait::Failed;
    }
    // Writers are not held off here: the application goes on while its report is made.
    const OneReportAnnotation own[] = {{kReportReasonAnnotation, reason}};
    return RequestReport(::GetCurrentThreadId(), nullptr, own, std::size(own), false,
                         ::GetTickCount64() + options_.dumpTimeoutMs);
}

CrashClient::DumpWait CrashReporting::State::RequestReport(DWORD threadId,
                                                           EXCEPTION_POINTERS* exception,
                                                           const OneReportAnnotation* own,
                                                           std::size_t ownCount,
                                                           bool holdAnnotations, ULONGLONG deadline)
{
    const DWORD gate = ::WaitForSingleObject(requestGate_.get(), MillisecondsUntil(deadline));
    if (gate != WAIT_OBJECT_0 && gate != WAIT_ABANDONED) {
        return CrashClient::DumpWait::TimedOut;
    }
    // Set behind the gate, so that a report made at the same time cannot take or clear it.
    for (std::size_t i = 0; i < ownCount; ++i) {
        client_.SetAnnotation(own[i].name, own[i].value);
    }
    const bool held = holdAnnotations && client_.Annotations().Hold(kAnnotationHoldMs);
    const CrashClient::DumpWait result =
        client_.RequestDump(threadId, exception, MillisecondsUntil(deadline));
    if (held) {
        client_.Annotations().Release();
    }
    for (std::size_t i = 0; i < ownCount; ++i) {
        client_.SetAnnotation(own[i].name, L"");
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
        options.annotations.size() > options.annotationCapacity ||
        (options.watchForHangs && options.hangThresholdMs < kMinHangThresholdMs)) {
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
        State::Release(state);  // the installation's reference, never or no longer published
    }
    return result;
}

void CrashReporting::Uninstall()
{
    win32::CriticalSectionLock lock(InstallLock());
    State* state = AcquireInstalled();
    if (state == nullptr) {
        return;
    }
    state->Stop();
    State::Release(state);  // this call's
    State::Release(state);  // the installation's: a call still running keeps it alive
}

bool CrashReporting::SetWindow(HWND window)
{
    InstalledState state;
    return state && state->SetWindow(window);
}

bool CrashReporting::SetAnnotation(const std::wstring& name, const std::wstring& value)
{
    InstalledState state;
    return state && state->client().SetAnnotation(name, value);
}

CrashClient::DumpWait CrashReporting::ReportNow(const std::wstring& reason)
{
    InstalledState state;
    return state ? state->ReportNow(reason) : CrashClient::DumpWait::Failed;
}

bool CrashReporting::Heartbeat()
{
    InstalledState state;
    return state && state->watchdog().Heartbeat();
}

void CrashReporting::StopHeartbeat()
{
    InstalledState state;
    if (state) {
        state->watchdog().StopHeartbeat();
    }
}

void CrashReporting::PauseHangWatch()
{
    InstalledState state;
    if (state) {
        state->watchdog().Pause();
    }
}

void CrashReporting::ResumeHangWatch()
{
    InstalledState state;
    if (state) {
        state->watchdog().Resume();
    }
}

CrashReporting::Registration CrashReporting::WaitForRegistration(DWORD timeoutMs)
{
    InstalledState state;
    return state ? state->WaitForRegistration(timeoutMs) : Registration::NotInstalled;
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
