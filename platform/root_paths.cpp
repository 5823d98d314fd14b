// Drive-letter paths on systems without drives: "c:\qorin\qorin.cfg" is
// $ZRQAPI_ROOT/qorin/qorin.cfg (default root /etc/zrqapi). Shared by the
// POSIX and fake backends.
#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

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
