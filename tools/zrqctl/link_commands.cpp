#include <stdio.h>

#include "command.h"
#include "handlers.h"
#include "progress.h"
#include "zrqapi.h"
#include "zrqctl.h"

int RunWait(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    return WaitUntilStopped(c);
}

int RunEstop(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    if (NirekEstop() != 0)
        return Fail(c, 1, "emergency stop sent, but the link did not synchronise after it");
    Said(c, "emergency stop sent");
    return 0;
}

int RunState(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    printf("state %s\n", NirekGetState() ? "busy" : "idle");
    return 0;
}

int RunInfo(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    uint32_t value = NirekGetInfo(c.args[0], c.args[1]);
    printf("info %d %d = %u (0x%08X)\n", c.args[0], c.args[1], value, value);
    return 0;
}

int RunId(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    char text[80] = {};
    NirekGetSavedID(text);
    printf("id %s\n", text);
    return 0;
}

int RunParam(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    return NirekResult(c, NirekParam(c.args[0], c.args[1]));
}

int RunSync(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    if (NirekSync(0) != 0)
        return Fail(c, 1, "the link did not synchronise");
    Said(c, "link synchronised");
    return 0;
}

int RunTimeout(const Command& c)
{
    NirekSetTimeout(c.args[0]);
    return 0;
}

int RunTerminal(const Command& c)
{
    fflush(stdout);
    int32_t result = Kap_DumbTerminal(c.args[0]);
    if (result != 0) {
        fprintf(
            stderr, "zrqctl: %sterminal: could not write to standard output\n", c.where.c_str());
        return kExitIoError;
    }
    return 0;
}
