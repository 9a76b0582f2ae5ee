// The control half of the service-manager seam on Windows: opening one
// service, starting and stopping it, and reading its status.
#include "platform/platform.h"
#include "scm_handles.h"
#include "win32_text.h"

#include <windows.h>

#include <new>
#include <string>

static DWORD service_access(scm_access access)
{
    switch (access) {
    case SCM_ACCESS_STOP:
        return SERVICE_STOP;
    case SCM_ACCESS_START_STOP:
        return SERVICE_START | SERVICE_STOP;
    case SCM_ACCESS_RESTART:
        return SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
    }
    return SERVICE_STOP;
}

scm_service *scm_open_service(scm_manager *m, const char *name, scm_access access)
{
    if (!m || !name)
        return nullptr;
    try {
        std::wstring wide;
        if (!utf8_to_wide(name, wide))
            return nullptr;
        SC_HANDLE h = OpenServiceW(m->handle.h, wide.c_str(), service_access(access));
        if (!h)
            return nullptr;
        scm_service *s = new (std::nothrow) scm_service(h);
        if (!s)
            CloseServiceHandle(h);
        return s;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void scm_close_service(scm_service *s)
{
    delete s;
}

scm_result scm_start(scm_service *s)
{
    if (!s)
        return SCM_REFUSED;
    if (StartServiceW(s->handle.h, 0, nullptr))
        return SCM_ACCEPTED;
    return GetLastError() == ERROR_SERVICE_ALREADY_RUNNING ? SCM_ALREADY_RUNNING : SCM_REFUSED;
}

scm_result scm_stop(scm_service *s)
{
    if (!s)
        return SCM_REFUSED;
    SERVICE_STATUS status;
    if (ControlService(s->handle.h, SERVICE_CONTROL_STOP, &status))
        return SCM_ACCEPTED;
    return GetLastError() == ERROR_SERVICE_NOT_ACTIVE ? SCM_NOT_ACTIVE : SCM_REFUSED;
}

int scm_query_status(scm_service *s, uint32_t *state, uint32_t *wait_hint_ms)
{
    if (!s || !state || !wait_hint_ms)
        return 0;
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(s->handle.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                              sizeof status, &needed))
        return 0;
    *state = status.dwCurrentState;
    *wait_hint_ms = status.dwWaitHint;
    return 1;
}

void scm_sleep_ms(uint32_t ms)
{
    Sleep(ms);
}
