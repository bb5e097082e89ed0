#include "CrashClient/CrashReportingC.h"

#include <cstddef>

#include "CrashClient/CrashReporting.h"

namespace {

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// A field the caller's version of the structure has, and has set.
template <typename Field>
bool Has(const crash_reporting_options* options, const Field crash_reporting_options::*field,
         std::size_t offset)
{
    return options->size >= offset + sizeof(Field) && options->*field != Field{};
}

#define CR_HAS(options, field) \
    Has(options, &crash_reporting_options::field, offsetof(crash_reporting_options, field))

bool ToOptions(const crash_reporting_options* in, CrashReporting::Options& out)
{
    if (in == nullptr || in->size < offsetof(crash_reporting_options, extra_files)) {
        return false;
    }
    out.reporterPath = Text(in->reporter_path);
    out.serverName = Text(in->server_name);
    out.collectorHost = Text(in->collector_host);
    out.dumpDirectory = Text(in->dump_directory);
    out.dumpType = in->dump_type;
    if (CR_HAS(in, extra_files) && CR_HAS(in, extra_file_count)) {
        for (unsigned int i = 0; i < in->extra_file_count; ++i) {
            if (in->extra_files[i] == nullptr) {
                return false;
            }
            out.extraFiles.push_back(in->extra_files[i]);
        }
    }
    if (CR_HAS(in, annotation_capacity)) {
        out.annotationCapacity = in->annotation_capacity;
    }
    if (CR_HAS(in, start_timeout_ms)) {
        out.startTimeoutMs = in->start_timeout_ms;
    }
    if (CR_HAS(in, register_timeout_ms)) {
        out.registerTimeoutMs = in->register_timeout_ms;
    }
    if (CR_HAS(in, crash_wait_for_registration_ms)) {
        out.crashWaitForRegistrationMs = in->crash_wait_for_registration_ms;
    }
    if (CR_HAS(in, dump_timeout_ms)) {
        out.dumpTimeoutMs = in->dump_timeout_ms;
    }
    if (CR_HAS(in, keep_reports)) {
        out.keepReports = in->keep_reports;
    }
    if (CR_HAS(in, keep_report_bytes)) {
        out.keepReportBytes = in->keep_report_bytes;
    }
    if (CR_HAS(in, watch_for_hangs)) {
        out.watchForHangs = true;
    }
    if (CR_HAS(in, hang_threshold_ms)) {
        out.hangThresholdMs = in->hang_threshold_ms;
    }
    return true;
}

}  // namespace

int __cdecl crash_reporting_install(const crash_reporting_options* options,
                                    unsigned int* missing_handlers)
{
    CrashReporting::Options converted;
    if (!ToOptions(options, converted)) {
        return CRASH_REPORTING_INVALID_OPTIONS;
    }
    const CrashReporting::InstallResult result = CrashReporting::Install(converted);
    if (missing_handlers != nullptr) {
        *missing_handlers = result.missingHandlers;
    }
    return static_cast<int>(result.failure);
}

void __cdecl crash_reporting_uninstall(void)
{
    CrashReporting::Uninstall();
}

int __cdecl crash_reporting_set_window(void* window)
{
    return CrashReporting::SetWindow(static_cast<HWND>(window)) ? 1 : 0;
}

int __cdecl crash_reporting_set_annotation(const wchar_t* name, const wchar_t* value)
{
    return CrashReporting::SetAnnotation(Text(name), Text(value)) ? 1 : 0;
}

int __cdecl crash_reporting_report_now(const wchar_t* reason)
{
    return static_cast<int>(CrashReporting::ReportNow(Text(reason)));
}

int __cdecl crash_reporting_wait_for_registration(unsigned int timeout_ms)
{
    return static_cast<int>(CrashReporting::WaitForRegistration(timeout_ms));
}

int __cdecl crash_reporting_heartbeat(void)
{
    return CrashReporting::Heartbeat() ? 1 : 0;
}

void __cdecl crash_reporting_stop_heartbeat(void)
{
    CrashReporting::StopHeartbeat();
}

void __cdecl crash_reporting_pause_hang_watch(void)
{
    CrashReporting::PauseHangWatch();
}

void __cdecl crash_reporting_resume_hang_watch(void)
{
    CrashReporting::ResumeHangWatch();
}
