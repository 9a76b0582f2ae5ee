// What the Win32 backend shares between its files: RAII over its handles,
// the seam's manager and service objects, and our reasons for refusals.
#ifndef PLUGIN_SCM_HANDLES_H
#define PLUGIN_SCM_HANDLES_H

#include <windows.h>

#include <vector>

#include "platform/platform.h"

// Owns one handle and closes it once with Close; a null handle is not closed.
template <typename Handle, auto Close>
struct win32_owned {
    Handle h = nullptr;
    explicit win32_owned(Handle handle) : h(handle) {}
    win32_owned(const win32_owned &) = delete;
    win32_owned &operator=(const win32_owned &) = delete;
    ~win32_owned()
    {
        if (h)
            Close(h);
    }
};

// A service-manager or service handle.
using sc_owned = win32_owned<SC_HANDLE, CloseServiceHandle>;

struct scm_manager {
    sc_owned handle;
    explicit scm_manager(SC_HANDLE h) : handle(h) {}
};

struct scm_service {
    sc_owned handle;
    explicit scm_service(SC_HANDLE h) : handle(h) {}
};

// Our reason for a Windows error code, which travels along; and for the
// last error of the calling thread.
scm_outcome outcome_of(DWORD code);
scm_outcome last_refusal();

// What a configuration query asks for first: the documented most that
// QueryServiceConfigW and QueryServiceConfig2W answer with; a larger answer
// is still read, in a second call.
const DWORD kConfigBytes = 8 * 1024;

// Calls query(data, size, &needed) into buf, and once more with buf grown
// to what the manager asked for when it was too small.
template <typename Query>
scm_outcome query_growing(std::vector<unsigned char> &buf, Query query)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD needed = 0;
        if (query(buf.data(), static_cast<DWORD>(buf.size()), &needed))
            return {SCM_OK, 0};
        DWORD code = GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER || needed <= buf.size())
            return outcome_of(code);
        buf.resize(needed);
    }
    return outcome_of(ERROR_INSUFFICIENT_BUFFER);
}

// Reads the configuration of the service h into buf, which then starts
// with a QUERY_SERVICE_CONFIGW. May throw std::bad_alloc.
scm_outcome query_config(SC_HANDLE h, std::vector<unsigned char> &buf);

#endif
