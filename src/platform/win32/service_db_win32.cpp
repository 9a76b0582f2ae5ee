// The service database on Windows: the registry key
// HKLM\SYSTEM\CurrentControlSet\Services, one subkey per service named as
// the service. The manager builds its database from these keys at boot and
// writes every configuration change back to them, so their "Start" values
// hold the start types it reports; reading them stays in the local kernel,
// while each configuration query is a call into the manager's process.
#include "platform/platform.h"
#include "scm_handles.h"
#include "win32_text.h"

#include <windows.h>

#include <cstring>
#include <new>
#include <string>

struct scm_database {
    win32_owned<HKEY, RegCloseKey> services;  // the opened Services key
    explicit scm_database(HKEY key) : services(key) {}
};

// Read-only, with KEY_QUERY_VALUE alone: the one right RegGetValueW asks of
// the key it is given, and the right it opens each service's subkey with.
// Local users may read these keys by default; a key that refuses it only
// sends that service's start type to the manager.
scm_database *scm_database_open(void)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    scm_database *d = new (std::nothrow) scm_database(key);
    if (!d)
        RegCloseKey(key);
    return d;
}

void scm_database_close(scm_database *d)
{
    delete d;
}

// One call per service: RegGetValueW opens the subkey, reads "Start" only
// when it is a REG_DWORD, and closes the subkey. A name with a backslash
// would address another key; the manager allows none in names.
int scm_database_start_type(scm_database *d, const char *name, uint32_t *start_type)
{
    if (!d || !name || !*name || strchr(name, '\\') || !start_type)
        return 0;
    try {
        std::wstring wide;
        if (!utf8_to_wide(name, wide))
            return 0;
        DWORD value = 0, size = sizeof value;
        if (RegGetValueW(d->services.h, wide.c_str(), L"Start", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
            ERROR_SUCCESS)
            return 0;
        *start_type = value;
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
