#include "serial/entry.h"

#include "platform/platform.h"

// Touched only while the lock is held.
static int s_depth = 0;
static uint64_t s_callNumber = 0;
static uint64_t s_current = 0;

ExportCall::ExportCall()
{
    PlatLockEnter();
    if (s_depth++ == 0)
        s_current = ++s_callNumber;
}

ExportCall::~ExportCall()
{
    if (--s_depth == 0)
        s_current = 0;
    PlatLockLeave();
}

uint64_t CurrentExportCall()
{
    return s_current;
}
