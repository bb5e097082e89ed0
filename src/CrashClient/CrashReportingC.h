/* Crash reporting for programs of any compiler or language: the C interface of
 * CrashReporting.dll. Only C types cross it; every text is a NUL-terminated UTF-16 string.
 *
 *     crash_reporting_options options = {sizeof(options)};
 *     options.reporter_path = L"C:\\Program Files\\App\\RIZurarUzedudor.exe";
 *     options.server_name = L"App";
 *     options.collector_host = L"https://crashes.example.com";
 *     options.dump_directory = L"dumps";
 *     crash_reporting_install(&options, NULL);
 */
#ifndef CRASH_REPORTING_C_H
#define CRASH_REPORTING_C_H

#include <wchar.h>

#ifdef CRASH_REPORTING_BUILDING_DLL
#define CRASH_REPORTING_API __declspec(dllexport)
#else
#define CRASH_REPORTING_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Zero for a field means its default. size is sizeof(crash_reporting_options), so that
 * later versions of the library can add fields at the end. */
typedef struct crash_reporting_options {
    unsigned int size;
    const wchar_t* reporter_path;
    const wchar_t* server_name;
    const wchar_t* collector_host;
    const wchar_t* dump_directory;
    unsigned int dump_type;            /* MINIDUMP_TYPE bits; 0x2 adds a full dump */
    const wchar_t* const* extra_files; /* extra_file_count paths or patterns */
    unsigned int extra_file_count;
    unsigned int annotation_capacity;            /* default 64 */
    unsigned int start_timeout_ms;               /* default 10000 */
    unsigned int register_timeout_ms;            /* default 5000 */
    unsigned int crash_wait_for_registration_ms; /* default 15000 */
    unsigned int dump_timeout_ms;                /* default 180000 */
    unsigned int keep_reports;                   /* default 0: every report stays */
    unsigned long long keep_report_bytes;        /* default 0: no byte bound */
    unsigned int watch_for_hangs;                /* 1: report hangs; default 0 */
    unsigned int hang_threshold_ms;              /* default 5000, at least 2000 */
} crash_reporting_options;

/* crash_reporting_install's result. */
enum {
    CRASH_REPORTING_INSTALLED = 0,
    CRASH_REPORTING_ALREADY_INSTALLED = 1,
    CRASH_REPORTING_INVALID_OPTIONS = 2,
    CRASH_REPORTING_REPORTER_NOT_FOUND = 3,
    CRASH_REPORTING_NO_RESOURCES = 4
};

/* crash_reporting_wait_for_registration's result. */
enum {
    CRASH_REPORTING_NOT_INSTALLED = 0,
    CRASH_REPORTING_PENDING = 1,
    CRASH_REPORTING_REGISTERED = 2,
    CRASH_REPORTING_REPORTER_NOT_STARTED = 3,
    CRASH_REPORTING_REFUSED = 4
};

/* crash_reporting_report_now's result. */
enum {
    CRASH_REPORTING_REPORT_DONE = 0,
    CRASH_REPORTING_REPORTER_GONE = 1,
    CRASH_REPORTING_TIMED_OUT = 2,
    CRASH_REPORTING_REPORT_FAILED = 3
};

/* Starts the reporter, registers in the background and installs every crash handler.
 * missing_handlers, when not NULL, receives the handlers that could not be installed:
 * 0x1 the filter guard, 0x2 SIGABRT, 0x4 the invalid-parameter hook. */
CRASH_REPORTING_API int __cdecl crash_reporting_install(const crash_reporting_options* options,
                                                        unsigned int* missing_handlers);
CRASH_REPORTING_API void __cdecl crash_reporting_uninstall(void);
/* window is the application's HWND, or NULL for none. Returns 1 when handed over or kept
 * for later. */
CRASH_REPORTING_API int __cdecl crash_reporting_set_window(void* window);
/* An empty or NULL value removes the annotation. Returns 1 on success. */
CRASH_REPORTING_API int __cdecl crash_reporting_set_annotation(const wchar_t* name,
                                                               const wchar_t* value);
CRASH_REPORTING_API int __cdecl crash_reporting_report_now(const wchar_t* reason);
CRASH_REPORTING_API int __cdecl crash_reporting_wait_for_registration(unsigned int timeout_ms);
/* With watch_for_hangs: the calling thread is watched from its first heartbeat on and must
 * beat again within the threshold. Returns 1 when watched. */
CRASH_REPORTING_API int __cdecl crash_reporting_heartbeat(void);
CRASH_REPORTING_API void __cdecl crash_reporting_stop_heartbeat(void);
/* No hang is reported between pause and the matching resume; calls nest. */
CRASH_REPORTING_API void __cdecl crash_reporting_pause_hang_watch(void);
CRASH_REPORTING_API void __cdecl crash_reporting_resume_hang_watch(void);

#ifdef __cplusplus
}
#endif

#endif
