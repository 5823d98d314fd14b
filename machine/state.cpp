#include <stdarg.h>
#include <stdio.h>

#include "machine/machine.h"

MachineState g_machine;

const char* const kMessages[kMessageCount] = {
    "Command Failed",
    "Performance counter unsupported",
    "Can't read c:\\qorin\\qorin.cfg or c:\\qv\\main.cfg",
    "Can't read MPM file",
    "Bad MPM file",
    "Can't open COM port",
    "Motion controller is not responding.",
    "Can't synchronize",
    "Wrong MPM version",
    "Not initialized",
    "Bad motion parameters",
};

void SetError(MessageId id)
{
    g_machine.errorString = kMessages[id];
}

void Trace(const char* format, ...)
{
    if (g_machine.verbose == 0)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // Written when it happens, also when standard output is a pipe or a file.
    fflush(stdout);
}

int32_t WrapToInt32(uint64_t value)
{
    uint32_t low = static_cast<uint32_t>(value);
    if (low <= 0x7FFFFFFFu)
        return static_cast<int32_t>(low);
    return -static_cast<int32_t>(~low) - 1;
}
