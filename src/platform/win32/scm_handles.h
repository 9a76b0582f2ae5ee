// What the Win32 backend shares between its files: RAII over SC_HANDLE,
// the seam's manager and service objects, and our reasons for refusals.
#ifndef PLUGIN_SCM_HANDLES_H
#define PLUGIN_SCM_HANDLES_H

#include <windows.h>

#include "platform/platform.h"

// Owns one service-manager or service handle and closes it once.
struct sc_owned {
    SC_HANDLE h = nullptr;
    explicit sc_owned(SC_HANDLE handle) : h(handle) {}
    sc_owned(const sc_owned &) = delete;
    sc_owned &operator=(const sc_owned &) = delete;
    ~sc_owned()
    {
        if (h)
            CloseServiceHandle(h);
    }
};

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
