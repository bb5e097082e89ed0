#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "CrashClient/CrashClient.h"

// Crash reporting for a whole application in one call. Install starts the reporter beside
// the application, registers with it in the background and catches every way the process
// can crash: unhandled exceptions on any thread (stack overflow included), abort() and
// SIGABRT, std::terminate (an uncaught C++ exception among its causes), pure virtual calls
// and C runtime invalid-parameter failures. Each is reported once, with a dump whose
// exception names the crashing thread, and then the process ends with the exception code
// as its exit code.
//
//     CrashReporting::Options options;
//     options.reporterPath = CrashReporting::PathBesideProgram(L"RIZurarUzedudor.exe");
//     options.serverName = L"App";
//     options.collectorHost = L"https://crashes.example.com";
//     options.dumpDirectory = L"dumps";
//     CrashReporting::Install(options);
//     ...
//     CrashReporting::SetWindow(mainWindow);
//
// Everything here is process-wide and may be called from any thread.
class CrashReporting {
public:
    struct Options {
        std::wstring reporterPath;   // the reporter program
        std::wstring serverName;     // names the pipe and events; the upload's "name" field
        std::wstring collectorHost;  // reports go to collectorHost + "/store-dump/"
        std::wstring dumpDirectory;  // relative to the reporter's folder, or absolute
        std::uint32_t dumpType = 0;  // MINIDUMP_TYPE bits; 0x2 adds a full-memory dump
        std::vector<std::wstring> extraFiles;  // packed with every report; patterns allowed
        std::vector<std::pair<std::wstring, std::wstring>> annotations;  // set at Install
        std::uint32_t annotationCapacity = 64;  // entries for SetAnnotation, at most 4096

        DWORD startTimeoutMs = 10000;              // the reporter's start, until its pipe listens
        DWORD registerTimeoutMs = 5000;            // the handshake with it
        DWORD crashWaitForRegistrationMs = 15000;  // a crash this early waits this long
        DWORD dumpTimeoutMs = 180000;              // a report's whole wait: dump, upload and scan
        // A crash waits at most crashWaitForRegistrationMs + 2 * dumpTimeoutMs in all, for the
        // registration, a report still under way and its own.

        // Reports left in the dump folder. When either is set, Install removes the oldest
        // finished reports beyond it (all their files) before the reporter starts; files of a
        // report still being made and files the reporter did not write are never touched.
        // 0 leaves every report there, as the reporter always has.
        std::uint32_t keepReports = 0;
        std::uint64_t keepReportBytes = 0;

        // Hang reports, off unless asked for. A watchdog thread sends the window handed over
        // with SetWindow a message once a second (answered at once by a thread that reads its
        // messages), and watches every thread that calls Heartbeat. A watched thread silent
        // for hangThresholdMs gets one report of the running process: its context, taken
        // while it is briefly suspended, as an exception of code kApplicationHangCode, with
        // the annotations below. The application is not ended. The next report of that
        // thread comes only after it has answered again.
        bool watchForHangs = false;
        DWORD hangThresholdMs = 5000;  // at least kMinHangThresholdMs

        // Called on the crash-handling thread before the dump is asked for, for example to
        // set a last annotation. It runs while the process is broken: keep it small. If it
        // crashes, the process ends without a report.
        void (*onCrash)(void* context) = nullptr;
        void* onCrashContext = nullptr;
    };

    enum class InstallFailure {
        None,
        AlreadyInstalled,
        InvalidOptions,    // an empty name, host, folder or path, or too many annotations
        ReporterNotFound,  // no file at reporterPath
        NoResources,       // a thread, an event or memory could not be had
    };

    // Handlers that Install could not put in place, as bits; the others work.
    enum MissingHandler : unsigned int {
        kMissingFilterGuard = 0x1,       // SetUnhandledExceptionFilter could not be guarded
        kMissingAbortSignal = 0x2,       // no runtime took the SIGABRT handler
        kMissingInvalidParameter = 0x4,  // no loaded runtime offers an invalid-parameter hook
    };

    struct InstallResult {
        InstallFailure failure = InstallFailure::None;
        unsigned int missingHandlers = 0;
        bool Installed() const { return failure == InstallFailure::None; }
    };

    enum class Registration {
        NotInstalled,
        Pending,             // the reporter is starting, or the handshake is under way
        Registered,          // crashes are reported from here on
        ReporterNotStarted,  // it could not be started, ended, or never said it listens
        Refused,             // its pipe did not take the registration
    };

    // Returns within milliseconds: the reporter starts and the registration runs on a thread
    // of their own. The handlers are in place when it returns.
    static InstallResult Install(const Options& options);

    // Puts back the handlers that were there before Install (for the unhandled-exception
    // filter, the one other code last asked for while installed, if any). Calls under way on
    // other threads finish first with this installation; a hang report under way is finished
    // before Uninstall returns. The reporter keeps running until the application ends; a
    // second Install in the same process needs another server name.
    static void Uninstall();

    // The window the reporter captures into each report. The reporter takes it once, and
    // only within its first 30 seconds; before the registration completes it is kept and
    // handed over then. An application without a window passes null, so that the reporter
    // does not wait those 30 seconds for one before it can end.
    static bool SetWindow(HWND window);

    // Sets an annotation carried in every later report; an empty value removes it. False
    // when not installed, for an empty name, or when every entry is taken.
    static bool SetAnnotation(const std::wstring& name, const std::wstring& value);

    // A report of the running process without an exception, for a handled error or a hang:
    // waits for it, and for a report still under way before it, at most dumpTimeoutMs in all
    // (once registered: a pending registration is waited for as a crash waits for it), and
    // returns. The reason goes with this report only, as the annotation "report-reason".
    static CrashClient::DumpWait ReportNow(const std::wstring& reason);

    // With watchForHangs: the calling thread is watched from its first call on, and must call
    // again within the threshold, for a thread without a window. False when not watching, or
    // when every one of the 16 heartbeat slots is taken. StopHeartbeat ends the calling
    // thread's watch (a thread that ends is dropped by itself).
    static bool Heartbeat();
    static void StopHeartbeat();

    // Around a long block that is expected (a modal loop of someone else's, a debugger, the
    // system asleep): no hang is reported between them. Calls nest; silence counts again
    // from the last Resume. A window is watched only once it has answered for the first time.
    static void PauseHangWatch();
    static void ResumeHangWatch();

    // Waits up to timeoutMs while the registration is pending; returns where it stands.
    static Registration WaitForRegistration(DWORD timeoutMs);

    // The path of fileName in the folder of the running program, where the reporter is
    // usually shipped; empty when the program's own path cannot be had.
    static std::wstring PathBesideProgram(const std::wstring& fileName);

    class State;  // what one Install owns; the library's own
};

// "None", "AlreadyInstalled", ...: for messages.
const char* InstallFailureText(CrashReporting::InstallFailure failure);
const char* RegistrationText(CrashReporting::Registration registration);

// The file name the reporter program ships under, usually beside the application.
constexpr wchar_t kReporterFileName[] = L"RIZurarUzedudor.exe";

// The annotations the library sets itself: the reason given to ReportNow, and the type and
// message of an uncaught C++ exception.
constexpr wchar_t kReportReasonAnnotation[] = L"report-reason";
constexpr wchar_t kExceptionTypeAnnotation[] = L"exception-type";
constexpr wchar_t kExceptionMessageAnnotation[] = L"exception-message";

// A hang report says so in its reason, and says for how long the thread had not answered
// (milliseconds) and which thread it is (its id, in decimal).
constexpr wchar_t kHangReason[] = L"application hang";
constexpr wchar_t kHangMillisecondsAnnotation[] = L"hang.milliseconds";
constexpr wchar_t kHangThreadAnnotation[] = L"hang.thread";
// Below this a slow moment of a healthy application would count as a hang.
constexpr DWORD kMinHangThresholdMs = 2000;
