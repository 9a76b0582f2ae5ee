// What the list shows of a service's process on Windows: its working set
// and when it was created, read through a handle with the least access that
// gives both.
#include "platform/platform.h"
#include "scm_handles.h"

#include <windows.h>
#include <psapi.h>

namespace {

// A FILETIME counts 100 ns ticks since 1601-01-01 UTC.
const int64_t kTicksPerSecond = 10000000;
const int64_t kTicksTo1970 = 116444736000000000LL;

// The ticks of a FILETIME.
int64_t ticks_of(const FILETIME &t)
{
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

} // namespace

// PROCESS_QUERY_LIMITED_INFORMATION is all that both reads ask for, and it
// is granted for more processes than PROCESS_QUERY_INFORMATION, protected
// ones included. Each read is kept apart: one may fail while the other works.
int scm_read_process(uint32_t pid, scm_process *out)
{
    *out = scm_process{};
    if (pid == 0)
        return 0;
    win32_owned<HANDLE, CloseHandle> p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!p.h)
        return 0;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(p.h, &memory, sizeof memory))
        out->working_set = memory.WorkingSetSize;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(p.h, &created, &exited, &kernel, &user) && ticks_of(created) >= kTicksTo1970) {
        out->created = (ticks_of(created) - kTicksTo1970) / kTicksPerSecond;
        out->created_known = 1;
    }
    return 1;
}
