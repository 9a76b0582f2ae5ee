// Process facilities on POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

void plat_stdout_binary(void) {}

int plat_append(const char *path, const char *data, size_t len) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    ssize_t n = write(fd, data, len);
    close(fd);
    return n == (ssize_t)len;
}

void plat_prefault(void *addr, size_t len) {
#ifdef MADV_POPULATE_WRITE
    // madvise takes whole pages: start at the page that holds addr.
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || !len) return;
    uintptr_t start = (uintptr_t)addr & ~(uintptr_t)(page - 1);
    madvise(reinterpret_cast<void *>(start), len + ((uintptr_t)addr - start), MADV_POPULATE_WRITE);
#else
    (void)addr;
    (void)len;
#endif
}
