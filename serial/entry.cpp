#include "serial/entry.h"

#include <atomic>

#include "platform/platform.h"

// Touched only while the lock is held.
static int s_depth = 0;
static uint64_t s_callNumber = 0;
static uint64_t s_current = 0;
static uint32_t s_stopsAtEntry = 0;

// Counted by any thread; the running call compares it with its own count.
static std::atomic<uint32_t> s_stopRequests {0};

ExportCall::ExportCall()
{
    PlatLockEnter();
    if (s_depth++ == 0) {
        s_current = ++s_callNumber;
        s_stopsAtEntry = s_stopRequests.load();
    }
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

bool OutermostCall()
{
    return s_depth == 1;
}

void RequestStop()
{
    s_stopRequests.fetch_add(1);
}

bool CallStopped()
{
    return s_depth > 0 && s_stopRequests.load() != s_stopsAtEntry;
}
