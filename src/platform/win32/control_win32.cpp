// The service-level half of the seam on Windows: opening one service,
// starting and stopping it, and reading its status, start type and
// dependents. Refusals leave this file as our own reasons.
#include "platform/platform.h"
#include "scm_handles.h"
#include "win32_text.h"

#include <windows.h>

#include <new>
#include <string>
#include <vector>

struct scm_names {
    std::string text;            // every name, NUL-terminated, back to back
    std::vector<size_t> starts;  // where each name begins in text
};

namespace {

// The documented maximum size of one service configuration.
// Bounds the growing of a dependents buffer should the manager keep asking
// for more.
const int kDependentsMaxCalls = 4;

struct right_bit {
    uint32_t ours;
    DWORD windows;
};

const right_bit kRights[] = {
    {SCM_RIGHT_START, SERVICE_START},
    {SCM_RIGHT_STOP, SERVICE_STOP},
    {SCM_RIGHT_QUERY_STATUS, SERVICE_QUERY_STATUS},
    {SCM_RIGHT_QUERY_CONFIG, SERVICE_QUERY_CONFIG},
    {SCM_RIGHT_ENUM_DEPENDENTS, SERVICE_ENUMERATE_DEPENDENTS},
};

const right_bit kAccepts[] = {
    {SCM_ACCEPTS_STOP, SERVICE_ACCEPT_STOP},
    {SCM_ACCEPTS_PAUSE_CONTINUE, SERVICE_ACCEPT_PAUSE_CONTINUE},
    {SCM_ACCEPTS_SHUTDOWN, SERVICE_ACCEPT_SHUTDOWN},
    {SCM_ACCEPTS_PRESHUTDOWN, SERVICE_ACCEPT_PRESHUTDOWN},
};

struct code_reason {
    DWORD code;
    scm_reason reason;
};

const code_reason kReasons[] = {
    {ERROR_SERVICE_DOES_NOT_EXIST, SCM_NO_SUCH_SERVICE},
    {ERROR_INVALID_NAME, SCM_NO_SUCH_SERVICE},
    {ERROR_ACCESS_DENIED, SCM_ACCESS_DENIED},
    {ERROR_SERVICE_DISABLED, SCM_DISABLED},
    {ERROR_SERVICE_MARKED_FOR_DELETE, SCM_MARKED_FOR_DELETE},
    {ERROR_DEPENDENT_SERVICES_RUNNING, SCM_DEPENDENTS_RUNNING},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SCM_CANNOT_ACCEPT_CONTROL},
    {ERROR_INVALID_SERVICE_CONTROL, SCM_CONTROL_NOT_ACCEPTED},
    {ERROR_SERVICE_ALREADY_RUNNING, SCM_ALREADY_RUNNING},
    {ERROR_SERVICE_NOT_ACTIVE, SCM_NOT_ACTIVE},
    {ERROR_SERVICE_REQUEST_TIMEOUT, SCM_TIMED_OUT},
    {ERROR_INVALID_LEVEL, SCM_LEVEL_NOT_SUPPORTED},
};

const scm_outcome kDone = {SCM_OK, 0};

} // namespace

scm_outcome outcome_of(DWORD code)
{
    for (const code_reason &r : kReasons)
        if (r.code == code)
            return {r.reason, code};
    return {SCM_OTHER, code};
}

scm_outcome last_refusal()
{
    return outcome_of(GetLastError());
}

namespace {

// Translates bits through a table, ours to Windows' or back; bits the
// table does not name are dropped.
template <size_t N>
uint32_t translate_bits(const right_bit (&table)[N], uint32_t bits, bool to_windows)
{
    uint32_t out = 0;
    for (const right_bit &b : table)
        if (bits & (to_windows ? b.ours : b.windows))
            out |= to_windows ? b.windows : b.ours;
    return out;
}

} // namespace

scm_service *scm_open_service(scm_manager *m, const char *name, uint32_t rights, scm_outcome *why)
{
    scm_outcome ignored;
    scm_outcome &out = why ? *why : ignored;
    out = outcome_of(ERROR_INVALID_NAME);
    if (!m || !name)
        return nullptr;
    try {
        std::wstring wide;
        if (!utf8_to_wide(name, wide))
            return nullptr;
        SC_HANDLE h = OpenServiceW(m->handle.h, wide.c_str(), translate_bits(kRights, rights, true));
        if (!h) {
            out = last_refusal();
            return nullptr;
        }
        scm_service *s = new (std::nothrow) scm_service(h);
        if (!s) {
            CloseServiceHandle(h);
            out = outcome_of(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        out = kDone;
        return s;
    } catch (const std::bad_alloc &) {
        out = outcome_of(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

void scm_close_service(scm_service *s)
{
    delete s;
}

scm_outcome scm_start(scm_service *s)
{
    if (!s)
        return outcome_of(ERROR_INVALID_HANDLE);
    return StartServiceW(s->handle.h, 0, nullptr) ? kDone : last_refusal();
}

scm_outcome scm_stop(scm_service *s)
{
    if (!s)
        return outcome_of(ERROR_INVALID_HANDLE);
    SERVICE_STATUS status;
    return ControlService(s->handle.h, SERVICE_CONTROL_STOP, &status) ? kDone : last_refusal();
}

scm_outcome scm_read_status(scm_service *s, scm_status *out)
{
    if (!s || !out)
        return outcome_of(ERROR_INVALID_HANDLE);
    SERVICE_STATUS_PROCESS st;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(s->handle.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&st),
                              sizeof st, &needed))
        return last_refusal();
    out->state = st.dwCurrentState;
    out->controls_accepted = translate_bits(kAccepts, st.dwControlsAccepted, false);
    out->win32_exit_code = st.dwWin32ExitCode;
    out->service_exit_code = st.dwServiceSpecificExitCode;
    out->check_point = st.dwCheckPoint;
    out->wait_hint_ms = st.dwWaitHint;
    out->pid = st.dwProcessId;
    return kDone;
}

scm_outcome query_config(SC_HANDLE h, std::vector<unsigned char> &buf)
{
    return query_growing(buf, [h](BYTE *data, DWORD size, DWORD *needed) {
        return QueryServiceConfigW(h, reinterpret_cast<QUERY_SERVICE_CONFIGW *>(data), size, needed);
    });
}

scm_outcome scm_read_service_start_type(scm_service *s, uint32_t *start_type)
{
    if (!s || !start_type)
        return outcome_of(ERROR_INVALID_HANDLE);
    try {
        std::vector<unsigned char> buf(kConfigBytes);
        scm_outcome r = query_config(s->handle.h, buf);
        if (r.reason == SCM_OK)
            *start_type = reinterpret_cast<const QUERY_SERVICE_CONFIGW *>(buf.data())->dwStartType;
        return r;
    } catch (const std::bad_alloc &) {
        return outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    }
}

// Fills buf with the dependents, growing it to what the manager asks for.
static scm_outcome enum_dependents(SC_HANDLE h, DWORD state, std::vector<unsigned char> &buf, DWORD *count)
{
    for (int call = 0; call < kDependentsMaxCalls; ++call) {
        DWORD needed = 0;
        *count = 0;
        auto *data = buf.empty() ? nullptr : reinterpret_cast<ENUM_SERVICE_STATUSW *>(buf.data());
        if (EnumDependentServicesW(h, state, data, static_cast<DWORD>(buf.size()), &needed, count))
            return kDone;
        DWORD code = GetLastError();
        if (code != ERROR_MORE_DATA || needed <= buf.size())
            return outcome_of(code);
        buf.resize(needed);
    }
    return outcome_of(ERROR_MORE_DATA);
}

scm_outcome scm_list_dependents(scm_service *s, scm_which which, scm_names **out)
{
    if (!out)
        return outcome_of(ERROR_INVALID_PARAMETER);
    *out = nullptr;
    if (!s)
        return outcome_of(ERROR_INVALID_HANDLE);
    DWORD state = which == SCM_DEPENDENTS_ACTIVE ? SERVICE_ACTIVE : SERVICE_STATE_ALL;
    scm_names *n = nullptr;
    try {
        std::vector<unsigned char> buf;
        DWORD count = 0;
        scm_outcome r = enum_dependents(s->handle.h, state, buf, &count);
        if (r.reason != SCM_OK)
            return r;
        const auto *e = reinterpret_cast<const ENUM_SERVICE_STATUSW *>(buf.data());
        n = new scm_names;
        for (DWORD i = 0; i < count; ++i) {
            size_t at = n->text.size();
            if (append_wide_as_utf8(e[i].lpServiceName, n->text))
                n->starts.push_back(at);
        }
        *out = n;
        return kDone;
    } catch (const std::bad_alloc &) {
        delete n;
        return outcome_of(ERROR_NOT_ENOUGH_MEMORY);
    }
}

size_t scm_names_count(const scm_names *n)
{
    return n ? n->starts.size() : 0;
}

const char *scm_names_at(const scm_names *n, size_t i)
{
    if (!n || i >= n->starts.size())
        return nullptr;
    return n->text.c_str() + n->starts[i];
}

void scm_names_free(scm_names *n)
{
    delete n;
}

uint64_t scm_now_ms(void)
{
    return GetTickCount64();
}

void scm_sleep_ms(uint32_t ms)
{
    Sleep(ms);
}
