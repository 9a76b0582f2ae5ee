// The service-manager seam over the Windows Service Control Manager, through
// its wide-character interface: connecting, enumerating and asking for one
// service's start type. Text leaves this file as UTF-8.
#include "platform/platform.h"
#include "scm_handles.h"
#include "win32_text.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace {

// The manager answers at most this much per enumeration call, so a larger
// buffer would only be wasted.
const DWORD kEnumCallBytes = 256 * 1024;
// Bounds the paging loop should the manager never report the end.
const int kEnumMaxCalls = 4096;
const size_t kNoText = static_cast<size_t>(-1);

// One entry while the enumeration is being read: its texts are offsets into
// the list's text store, which may still move.
struct pending_entry {
    size_t name;
    size_t display_name;
    uint32_t state;
    uint32_t pid;
    uint32_t exit_code;
    uint32_t service_exit_code;
};

} // namespace

struct scm_list {
    std::string text;                   // every name, NUL-terminated, back to back
    std::vector<pending_entry> pending;
    std::vector<scm_entry> entries;     // filled once reading is done
};

// Listing needs enumeration; opening services to read their configuration
// needs only the connect right, which every successful open grants.
scm_manager *scm_connect(scm_purpose purpose)
{
    DWORD access = purpose == SCM_FOR_LISTING ? SC_MANAGER_ENUMERATE_SERVICE : SC_MANAGER_CONNECT;
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, access);
    if (!h)
        return nullptr;
    scm_manager *m = new (std::nothrow) scm_manager(h);
    if (!m)
        CloseServiceHandle(h);
    return m;
}

void scm_disconnect(scm_manager *m)
{
    delete m;
}

// Stores the UTF-8 form of s in the list's text store; kNoText when s is
// null or cannot be converted.
static size_t store_text(scm_list *l, const wchar_t *s)
{
    size_t at = l->text.size();
    return append_wide_as_utf8(s, l->text) ? at : kNoText;
}

// Takes the count entries an enumeration call stored at the start of data.
static void take_entries(scm_list *l, const unsigned char *data, DWORD count)
{
    const auto *e = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW *>(data);
    for (DWORD i = 0; i < count; ++i) {
        pending_entry p;
        p.name = store_text(l, e[i].lpServiceName);
        p.display_name = store_text(l, e[i].lpDisplayName);
        const SERVICE_STATUS_PROCESS &status = e[i].ServiceStatusProcess;
        p.state = status.dwCurrentState;
        p.pid = status.dwProcessId;
        p.exit_code = status.dwWin32ExitCode;
        p.service_exit_code = status.dwServiceSpecificExitCode;
        l->pending.push_back(p);
    }
}

// Turns the pending offsets into the entries handed out, once the text
// store no longer moves.
static void finish_entries(scm_list *l)
{
    const char *base = l->text.data();
    l->entries.reserve(l->pending.size());
    for (const pending_entry &p : l->pending) {
        scm_entry e;
        e.name = p.name == kNoText ? nullptr : base + p.name;
        e.display_name = p.display_name == kNoText ? nullptr : base + p.display_name;
        e.state = p.state;
        e.pid = p.pid;
        e.exit_code = p.exit_code;
        e.service_exit_code = p.service_exit_code;
        l->entries.push_back(e);
    }
    l->pending.clear();
}

static BOOL enum_call(SC_HANDLE h, std::vector<unsigned char> &buf, DWORD *needed,
                      DWORD *returned, DWORD *resume)
{
    *needed = 0;
    *returned = 0;
    return EnumServicesStatusExW(h, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                 buf.empty() ? nullptr : buf.data(), static_cast<DWORD>(buf.size()),
                                 needed, returned, resume, nullptr);
}

// Reads every entry: a probe for the size, then fetches that go on with the
// resume handle for as long as the manager reports more data. False when the
// probe fails or the first fetch reads nothing.
static bool read_all_entries(SC_HANDLE h, scm_list *l)
{
    std::vector<unsigned char> buf;
    DWORD needed = 0, returned = 0, resume = 0;
    if (enum_call(h, buf, &needed, &returned, &resume))
        return true;  // nothing to list
    if (GetLastError() != ERROR_MORE_DATA || needed == 0)
        return false;
    buf.resize(std::min(needed, kEnumCallBytes));
    resume = 0;
    for (int call = 0; call < kEnumMaxCalls; ++call) {
        BOOL done = enum_call(h, buf, &needed, &returned, &resume);
        if (!done && GetLastError() != ERROR_MORE_DATA)
            break;
        take_entries(l, buf.data(), returned);
        if (done)
            return true;
        if (returned == 0) {
            if (needed <= buf.size())
                break;
            buf.resize(needed);  // a single entry larger than the buffer
        }
    }
    return !l->pending.empty();
}

scm_list *scm_list_services(scm_manager *m)
{
    if (!m)
        return nullptr;
    scm_list *l = nullptr;
    try {
        l = new scm_list;
        if (!read_all_entries(m->handle.h, l)) {
            delete l;
            return nullptr;
        }
        finish_entries(l);
        return l;
    } catch (const std::bad_alloc &) {
        delete l;
        return nullptr;
    }
}

size_t scm_list_count(const scm_list *l)
{
    return l ? l->entries.size() : 0;
}

const scm_entry *scm_list_at(const scm_list *l, size_t i)
{
    if (!l || i >= l->entries.size())
        return nullptr;
    return &l->entries[i];
}

void scm_list_free(scm_list *l)
{
    delete l;
}

int scm_query_start_type(scm_manager *m, const char *name, uint32_t *start_type)
{
    scm_service *s = scm_open_service(m, name, SCM_RIGHT_QUERY_CONFIG, nullptr);
    if (!s)
        return 0;
    scm_outcome read = scm_read_service_start_type(s, start_type);
    scm_close_service(s);
    return read.reason == SCM_OK;
}
