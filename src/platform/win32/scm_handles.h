// What the Win32 backend shares between its files: RAII over its handles,
// the seam's manager and service objects, and our reasons for refusals.
#ifndef PLUGIN_SCM_HANDLES_H
#define PLUGIN_SCM_HANDLES_H

#include <windows.h>

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

#endif
