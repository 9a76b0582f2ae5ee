// The process facilities of the seam on Windows: output mode, atomic appends
// and the prefault hint.
#include "platform/platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

void plat_stdout_binary(void)
{
    _setmode(_fileno(stdout), _O_BINARY);
}

// Opens the file at path for appending, creating it when missing. A missing
// file is created under a name of this process's own and then moved into
// place, unless another process got there first: under Wine, creating the
// file in place while other processes appended to it sometimes lost a line.
// The path comes from the narrow environment, so it is in the system code
// page: the ANSI calls take it as it is. Read access is asked only because
// byte-range locks need it; without write access every write still goes to
// the end of the file.
static HANDLE open_for_append(const char *path)
{
    const DWORD access = FILE_APPEND_DATA | FILE_READ_DATA;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE f = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND)
        return f;
    char fresh[MAX_PATH + 32];
    int n = snprintf(fresh, sizeof fresh, "%s.%lu.new", path, (unsigned long)GetCurrentProcessId());
    if (n <= 0 || (size_t)n >= sizeof fresh)
        return INVALID_HANDLE_VALUE;
    HANDLE made = CreateFileA(fresh, access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    CloseHandle(made);
    if (!MoveFileExA(fresh, path, 0))
        DeleteFileA(fresh);
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Appends len bytes as one write. Windows places an append-only write at the
// end atomically, but Wine finds the end and then writes, so two processes
// can both write at the same offset and one line is lost. Every writer
// therefore holds an exclusive lock on one byte far past any real end of the
// file while it writes; the lock is advisory for appends and blocks only
// other writers of this log.
int plat_append(const char *path, const char *data, size_t len)
{
    if (!path || (!data && len) || len > MAXDWORD)
        return 0;
    HANDLE f = open_for_append(path);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    OVERLAPPED at = {};
    at.Offset = 0;
    at.OffsetHigh = 0x7fffffff;
    BOOL locked = LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
    DWORD written = 0;
    BOOL ok = WriteFile(f, data, static_cast<DWORD>(len), &written, nullptr);
    if (locked)
        UnlockFileEx(f, 0, 1, 0, &at);
    CloseHandle(f);
    return ok && written == len;
}

// Windows pages are left to be backed as they are first written.
void plat_prefault(void *, size_t) {}
