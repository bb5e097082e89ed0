/* A C program that adopts crash reporting through CrashReporting.dll alone:
 *   CApiClient.exe <collector-host> <dump dir> <server name>
 * It installs, sets an annotation, asks for one report while running, then writes through a
 * null pointer. */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "CrashClient/CrashReportingC.h"

static const wchar_t kReporter[] = L"RIZurarUzedudor.exe";

int wmain(int argc, wchar_t** argv)
{
    wchar_t reporter[MAX_PATH];
    DWORD length;
    wchar_t* slash;
    crash_reporting_options options;
    unsigned int missing = 0;
    int result;
    volatile int* volatile target = NULL;

    if (argc != 4) {
        fputs("usage: CApiClient.exe <collector-host> <dump dir> <server name>\n", stderr);
        return 2;
    }
    length = GetModuleFileNameW(NULL, reporter, MAX_PATH);
    slash = wcsrchr(reporter, L'\\');
    if (length == 0 || length >= MAX_PATH || slash == NULL ||
        (size_t)(slash + 1 - reporter) + wcslen(kReporter) >= MAX_PATH) {
        return 1;
    }
    wcscpy(slash + 1, kReporter);

    memset(&options, 0, sizeof(options));
    options.size = sizeof(options);
    options.reporter_path = reporter;
    options.collector_host = argv[1];
    options.dump_directory = argv[2];
    options.server_name = argv[3];
    options.dump_timeout_ms = 120000;
    options.watch_for_hangs = 1;
    options.hang_threshold_ms = 2000;
    result = crash_reporting_install(&options, &missing);
    printf("install: %d, missing handlers 0x%x\n", result, missing);
    if (result != CRASH_REPORTING_INSTALLED) {
        return 1;
    }
    printf("no window: %d\n", crash_reporting_set_window(NULL));
    printf("registration: %d\n", crash_reporting_wait_for_registration(30000));
    printf("annotation: %d\n", crash_reporting_set_annotation(L"language", L"C"));
    printf("heartbeat: %d\n", crash_reporting_heartbeat());
    crash_reporting_pause_hang_watch();
    crash_reporting_resume_hang_watch();
    crash_reporting_stop_heartbeat();
    printf("report now: %d\n", crash_reporting_report_now(L"asked from C"));
    printf("crashing thread %lu: writing through a null pointer\n", GetCurrentThreadId());
    fflush(stdout);
    *target = 1;
    return 0;
}
