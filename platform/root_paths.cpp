// Drive-letter paths on systems without drives: "c:\qorin\qorin.cfg" is
// $ZRQAPI_ROOT/qorin/qorin.cfg (default root /etc/zrqapi). Shared by the
// POSIX and fake backends.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

// The fake backend is also built for Windows, which has neither flag nor FIFOs
// to wait on, but translates line ends unless told not to.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#include <errno.h>

const char* PlatRoot()
{
    const char* root = getenv("ZRQAPI_ROOT");
    return (root != nullptr && root[0] != '\0') ? root : "/etc/zrqapi";
}

int PlatMapPath(const char* path, char* mapped, size_t size)
{
    const char* rest = path;
    bool drive = (path[0] == 'c' || path[0] == 'C') && path[1] == ':';
    if (drive)
        rest = path + 2;
    int n = drive ? snprintf(mapped, size, "%s", PlatRoot()) : 0;
    if (n < 0 || static_cast<size_t>(n) >= size)
        return 0;
    size_t at = static_cast<size_t>(n);
    for (; *rest != '\0'; ++rest) {
        if (at + 1 >= size)
            return 0;
        mapped[at++] = *rest == '\\' ? '/' : *rest;
    }
    mapped[at] = '\0';
    return 1;
}

FILE* PlatOpenRegularFile(const char* mapped)
{
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
    int fd = open(mapped, O_RDONLY | O_BINARY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

FILE* PlatCreateTraceFile(const char* path, int32_t* error)
{
    // A FIFO without a reader fails this open at once instead of waiting.
    int fd = open(
        path, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *error = 0;
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        *error = errno;
        close(fd);
    }
    return file;
}
