// A tiny real Windows service for the end-to-end tests. It reports running
// as soon as it starts and stops when asked, unless told otherwise:
//   test_service.exe NAME [--stop-delay-ms=N] [--no-stop] [--hang-on-stop]
//                         [--start-pending] [--pause-when-started] [--exit-at-once]
//                         [--exit-when=PATH] [--exit-code=N] [--service-exit-code=N]
// --stop-delay-ms stays stop-pending for N ms first, --no-stop refuses the
// stop control, --hang-on-stop never finishes stopping, --start-pending
// never finishes starting (and accepts no control meanwhile),
// --pause-when-started pauses itself once it runs (and accepts pause and
// continue). --exit-when makes the service stop by itself once the file
// PATH exists (looked for every 100 ms). --exit-code (its Win32 exit code)
// and --service-exit-code (its own code), both 0 by default, are reported
// when it stops: by itself with --exit-when, on every stop without it.
//
// It appends a line "EVENT PID UNIX-MS" to C:\plugin-test\events\NAME when
// its main runs ("main", before anything else) and when a stop arrives
// ("stop"), so a test can tell a service whose process Wine failed to
// launch from one that was never asked to start, and time what follows a
// stop. --exit-at-once ends the process before its main logs anything, as
// such a failed launch looks to the service manager.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct service_options {
    const wchar_t *name = L"";
    DWORD stop_delay_ms = 0;
    bool accept_stop = true;
    bool hang_on_stop = false;
    bool start_pending = false;
    bool pausable = false;
    bool exit_at_once = false;
    const wchar_t *exit_when = nullptr;
    DWORD exit_code = NO_ERROR;
    DWORD service_exit_code = 0;
};

// The wait hint while pending: the check point advances every second, and
// three seconds leave a waiting client room to see it do so.
const DWORD kProgressHintMs = 3000;

service_options g_options;
SERVICE_STATUS_HANDLE g_handle;
HANDLE g_stop_event;

void report(DWORD state, DWORD wait_hint_ms, DWORD exit_code = NO_ERROR, DWORD service_exit_code = 0)
{
    static DWORD checkpoint;
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    bool settled = state == SERVICE_RUNNING || state == SERVICE_PAUSED;
    if (settled && g_options.accept_stop)
        s.dwControlsAccepted |= SERVICE_ACCEPT_STOP;
    if (settled && g_options.pausable)
        s.dwControlsAccepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    s.dwWin32ExitCode = exit_code;
    s.dwServiceSpecificExitCode = service_exit_code;
    s.dwCheckPoint = settled || state == SERVICE_STOPPED ? 0 : ++checkpoint;
    s.dwWaitHint = wait_hint_ms;
    SetServiceStatus(g_handle, &s);
}

// Appends "event pid unix-ms" as a line to C:\plugin-test\events\NAME.
void log_event(const char *event)
{
    const wchar_t *dir = L"C:\\plugin-test\\events";
    CreateDirectoryW(dir, nullptr);
    std::wstring path = std::wstring(dir) + L"\\" + g_options.name;
    HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    unsigned long long unix_ms = (t.QuadPart - 116444736000000000ull) / 10000;
    char line[96];
    int n = snprintf(line, sizeof line, "%s %lu %llu\n", event, GetCurrentProcessId(), unix_ms);
    DWORD written = 0;
    WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(f);
}

DWORD WINAPI on_control(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (g_options.pausable && (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)) {
        report(control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING, 0);
        return NO_ERROR;
    }
    if (control != SERVICE_CONTROL_STOP || !g_options.accept_stop)
        return ERROR_CALL_NOT_IMPLEMENTED;
    log_event("stop");
    report(SERVICE_STOP_PENDING, g_options.stop_delay_ms + kProgressHintMs);
    SetEvent(g_stop_event);
    return NO_ERROR;
}

// Waits for the stop control; true instead when the exit file appeared first.
bool wait_for_stop_or_exit_file()
{
    if (!g_options.exit_when) {
        WaitForSingleObject(g_stop_event, INFINITE);
        return false;
    }
    while (WaitForSingleObject(g_stop_event, 100) == WAIT_TIMEOUT) {
        if (GetFileAttributesW(g_options.exit_when) != INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

void WINAPI service_main(DWORD, LPWSTR *)
{
    g_handle = RegisterServiceCtrlHandlerExW(g_options.name, on_control, nullptr);
    if (!g_handle)
        return;
    while (g_options.start_pending) {
        report(SERVICE_START_PENDING, kProgressHintMs);
        Sleep(1000);
    }
    report(SERVICE_RUNNING, 0);
    if (g_options.pausable)
        report(SERVICE_PAUSED, 0);
    if (wait_for_stop_or_exit_file()) {
        report(SERVICE_STOPPED, 0, g_options.exit_code, g_options.service_exit_code);
        return;
    }
    while (g_options.hang_on_stop) {
        Sleep(1000);
        report(SERVICE_STOP_PENDING, kProgressHintMs);
    }
    Sleep(g_options.stop_delay_ms);
    if (g_options.exit_when)
        report(SERVICE_STOPPED, 0);
    else
        report(SERVICE_STOPPED, 0, g_options.exit_code, g_options.service_exit_code);
}

void parse_options(int argc, wchar_t **argv)
{
    if (argc > 1)
        g_options.name = argv[1];
    for (int i = 2; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (wcsncmp(a, L"--stop-delay-ms=", 16) == 0)
            g_options.stop_delay_ms = wcstoul(a + 16, nullptr, 10);
        else if (wcscmp(a, L"--no-stop") == 0)
            g_options.accept_stop = false;
        else if (wcscmp(a, L"--hang-on-stop") == 0)
            g_options.hang_on_stop = true;
        else if (wcscmp(a, L"--start-pending") == 0)
            g_options.start_pending = true;
        else if (wcscmp(a, L"--pause-when-started") == 0)
            g_options.pausable = true;
        else if (wcscmp(a, L"--exit-at-once") == 0)
            g_options.exit_at_once = true;
        else if (wcsncmp(a, L"--exit-when=", 12) == 0)
            g_options.exit_when = a + 12;
        else if (wcsncmp(a, L"--exit-code=", 12) == 0)
            g_options.exit_code = wcstoul(a + 12, nullptr, 10);
        else if (wcsncmp(a, L"--service-exit-code=", 20) == 0)
            g_options.service_exit_code = wcstoul(a + 20, nullptr, 10);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    parse_options(argc, argv);
    if (g_options.exit_at_once)
        return 1;
    log_event("main");
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop_event)
        return 1;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<wchar_t *>(g_options.name), service_main},
        {nullptr, nullptr},
    };
    BOOL ok = StartServiceCtrlDispatcherW(table);
    CloseHandle(g_stop_event);
    return ok ? 0 : 1;
}
