// A tiny real Windows service for the end-to-end tests. It reports running
// as soon as it starts and stops when asked, unless told otherwise:
//   test_service.exe NAME [--stop-delay-ms=N] [--no-stop] [--hang-on-stop]
//                         [--exit-code=N] [--service-exit-code=N]
// --stop-delay-ms stays stop-pending for N ms first, --no-stop refuses the
// stop control, --hang-on-stop never finishes stopping; --exit-code and
// --service-exit-code are the exit codes it reports when it has stopped.
#include <windows.h>

#include <cwchar>

namespace {

struct service_options {
    const wchar_t *name = L"";
    DWORD stop_delay_ms = 0;
    bool accept_stop = true;
    bool hang_on_stop = false;
    DWORD exit_code = NO_ERROR;
    DWORD service_exit_code = 0;
};

service_options g_options;
SERVICE_STATUS_HANDLE g_handle;
HANDLE g_stop_event;

void report(DWORD state, DWORD wait_hint_ms)
{
    static DWORD checkpoint;
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    if (state == SERVICE_RUNNING && g_options.accept_stop)
        s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.dwWin32ExitCode = state == SERVICE_STOPPED ? g_options.exit_code : NO_ERROR;
    s.dwServiceSpecificExitCode = state == SERVICE_STOPPED ? g_options.service_exit_code : 0;
    s.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++checkpoint;
    s.dwWaitHint = wait_hint_ms;
    SetServiceStatus(g_handle, &s);
}

DWORD WINAPI on_control(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (control != SERVICE_CONTROL_STOP || !g_options.accept_stop)
        return ERROR_CALL_NOT_IMPLEMENTED;
    report(SERVICE_STOP_PENDING, g_options.stop_delay_ms + 1000);
    SetEvent(g_stop_event);
    return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR *)
{
    g_handle = RegisterServiceCtrlHandlerExW(g_options.name, on_control, nullptr);
    if (!g_handle)
        return;
    report(SERVICE_RUNNING, 0);
    WaitForSingleObject(g_stop_event, INFINITE);
    while (g_options.hang_on_stop) {
        Sleep(1000);
        report(SERVICE_STOP_PENDING, 2000);
    }
    Sleep(g_options.stop_delay_ms);
    report(SERVICE_STOPPED, 0);
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
