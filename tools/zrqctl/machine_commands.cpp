#include <stdio.h>

#include "command.h"
#include "handlers.h"
#include "progress.h"
#include "units.h"
#include "zrqapi.h"

#ifndef ZRQ_VERSION_TEXT
#define ZRQ_VERSION_TEXT "unknown"
#endif

int RunInit(const Command& c)
{
    int32_t code = c.Has("--com") ? Kap_InitOnCom(c.Flag("--com")) : Kap_Init();
    if (code == 0)
        Said(c, "controller ready");
    return KapResult(c, code);
}

int RunFinish(const Command& c)
{
    Kap_Finish();
    Said(c, "link closed");
    return 0;
}

int RunMoveXY(const Command& c)
{
    g_target.kind = Target::XY;
    g_target.x = c.args[0];
    g_target.y = c.args[1];
    return AfterMove(c, KapResult(c, Kap_MoveXY(c.args[0], c.args[1])));
}

int RunMoveXYZ(const Command& c)
{
    g_target.kind = Target::XYZ;
    g_target.x = c.args[0];
    g_target.y = c.args[1];
    g_target.z = c.args[2];
    return AfterMove(c, KapResult(c, Kap_MoveXYZ(c.args[0], c.args[1], c.args[2])));
}

int RunMoveZ(const Command& c)
{
    g_target.kind = Target::Z;
    g_target.z = c.args[0];
    return AfterMove(c, KapResult(c, Kap_MoveZ(c.args[0])));
}

int RunMoveR(const Command& c)
{
    g_target.kind = Target::R;
    g_target.r = c.args[0];
    return AfterMove(c, KapResult(c, Kap_MoveR(c.args[0])));
}

// The pen command moves the pen now and also sets the state later moves are
// made with; the Kap_ call alone would let the next move put the pen down again.
int RunPen(const Command& c)
{
    if (c.args[0] == 0) {
        NirekPenUp();
        return KapResult(c, Kap_PenUp());
    }
    NirekPenDown();
    return KapResult(c, Kap_PenDown());
}

int RunVelocity(const Command& c)
{
    return KapResult(c, Kap_Velocity(c.args[0]));
}

int RunSpacing(const Command& c)
{
    return KapResult(c, Kap_SetSampleSpacing(c.args[0], c.args[1]));
}

int RunHome(const Command& c)
{
    int code = KapResult(c, Kap_Home());
    if (code == 0)
        g_target = Target();  // where home is, only the box knows
    return AfterMove(c, code);
}

int RunLaser(const Command& c)
{
    return KapResult(c, Kap_LaserOn(c.args[0] == 0 ? 1 : 0));
}

int RunJog(const Command& c)
{
    int32_t (*begin[])() = {Kap_JogBeginX, Kap_JogBeginY, Kap_JogBeginZ, Kap_JogBeginR};
    return KapResult(c, begin[c.args[0]]());
}

int RunJogPos(const Command& c)
{
    return KapResult(c, Kap_JogSetPosition(c.args[0]));
}

int RunJogEnd(const Command& c)
{
    return KapResult(c, Kap_JogEnd());
}

int RunPos(const Command& c)
{
    int32_t x = 0, y = 0, z = 0;
    int code = KapResult(c, Kap_GetMachinePosition(&x, &y, &z));
    if (code == 0)
        printf("position X=%s Y=%s Z=%s %s\n", FormatDistance(x).c_str(), FormatDistance(y).c_str(),
            FormatDistance(z).c_str(), UnitName());
    return code;
}

int RunRtPos(const Command& c)
{
    int32_t x = 0, y = 0, z = 0;
    int code = KapResult(c, Kap_GetRtPos(&x, &y, &z));
    if (code == 0)
        printf("rt-position X=%s Y=%s Z=%s %s\n", FormatDistance(x).c_str(),
            FormatDistance(y).c_str(), FormatDistance(z).c_str(), UnitName());
    return code;
}

int RunRotor(const Command& c)
{
    int32_t r = 0;
    int code = KapResult(c, Kap_GetRotorPosition(&r));
    if (code == 0)
        printf("rotor R=%s %s\n", FormatDistance(r).c_str(), UnitName());
    return code;
}

int RunMode(const Command& c)
{
    if (c.args[0] == 0)
        Kap_2dMode();
    else
        Kap_3dMode();
    return 0;
}

int RunWaitMode(const Command& c)
{
    Kap_SetWaitMode(c.args[0] == 0 ? 1 : 0);
    return 0;
}

int RunTrace(const Command& c)
{
    Kap_SetDebugMask(c.args[0] == 0 ? 3 : 0);
    return 0;
}

int RunVersion(const Command&)
{
    int32_t major = 0, minor = 0;
    Kap_GetApiVersion(&major, &minor);
    printf("zrqctl %s, API %d.%d\n", ZRQ_VERSION_TEXT, major, minor);
    return 0;
}
