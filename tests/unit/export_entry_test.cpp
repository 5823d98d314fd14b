// What every export does on entry: it takes the process-wide lock, so callers
// on several threads take turns; and trace text reaches standard output when
// it is written, not when the process exits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <functional>
#include <string>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "support/reset.h"
#include "support/temp_root.h"
#include "unit/machine_box.h"

namespace {

int32_t g_x, g_y, g_z;
char g_id[13];

#define EXPORT_CALL(expression)                                                                    \
    {                                                                                              \
#expression, [] { (void)(expression); }                                                    \
    }

const struct {
    const char* name;
    void (*call)();
} kEveryExport[] = {
    EXPORT_CALL(NirekInstall(1)),
    EXPORT_CALL(NirekIsInstalled()),
    EXPORT_CALL(NirekSetTimeout(1)),
    EXPORT_CALL(NirekSetWaitMode(1)),
    EXPORT_CALL(NirekSetDebugMask(0)),
    EXPORT_CALL(NirekParam(1, 1)),
    EXPORT_CALL(NirekSync(0)),
    EXPORT_CALL(NirekEstop()),
    EXPORT_CALL(NirekGetBoxState()),
    EXPORT_CALL(NirekGetInfo(26, 3)),
    EXPORT_CALL(NirekGetSavedID(g_id)),
    EXPORT_CALL(NirekGetState()),
    EXPORT_CALL(NirekHome(1)),
    EXPORT_CALL(NirekHome1(1, 0, 0, 0)),
    EXPORT_CALL(NirekHomed()),
    EXPORT_CALL(NirekMakeRamps()),
    EXPORT_CALL(NirekMakeRampsWorked()),
    EXPORT_CALL(NirekXrel(1)),
    EXPORT_CALL(NirekYrel(1)),
    EXPORT_CALL(NirekXabs(1)),
    EXPORT_CALL(NirekYabs(1)),
    EXPORT_CALL(Nirek1abs(0, 1)),
    EXPORT_CALL(Nirek1rel(0, 1)),
    EXPORT_CALL(NirekXYrel(1, 1)),
    EXPORT_CALL(NirekXYZrel(1, 1, 1)),
    EXPORT_CALL(NirekXYabs(1, 1)),
    EXPORT_CALL(NirekXYZabs(1, 1, 1)),
    EXPORT_CALL(NirekPenUpNow()),
    EXPORT_CALL(NirekPenDownNow()),
    EXPORT_CALL(NirekPenUp()),
    EXPORT_CALL(NirekPenDown()),
    EXPORT_CALL(NirekSelectY(1)),
    EXPORT_CALL(NirekSelectXY(3, 1)),
    EXPORT_CALL(NirekSelectXYZ2(3, 1, 0)),
    EXPORT_CALL(NirekWaitHalt()),
    EXPORT_CALL(NirekTrainBegin()),
    EXPORT_CALL(NirekTrainEnd()),
    EXPORT_CALL(NirekVector(0)),
    EXPORT_CALL(NirekSpeed(100)),
    EXPORT_CALL(Nirek1Speed(0, 100)),
    EXPORT_CALL(NirekTestMode(0)),
    EXPORT_CALL(NirekSetMinPulse(0)),
    EXPORT_CALL(NirekSetPulseDuty(1)),
    EXPORT_CALL(NirekSetPulseEnable(1)),
    EXPORT_CALL(NirekSetPulseSpacing(0, 0)),
    EXPORT_CALL(NirekSetTrainRatio(1, 256, 1)),
    EXPORT_CALL(NirekSetEncoder(0, 0)),
    EXPORT_CALL(NirekRemove()),
    EXPORT_CALL(Kap_Init()),
    EXPORT_CALL(Kap_init()),
    EXPORT_CALL(Kap_InitOnCom(1)),
    EXPORT_CALL(Kap_GetApiVersion(&g_x, &g_y)),
    EXPORT_CALL(Kap_SetWaitMode(1)),
    EXPORT_CALL(Kap_3dMode()),
    EXPORT_CALL(Kap_2dMode()),
    EXPORT_CALL(Kap_SetDebugMask(0)),
    EXPORT_CALL(Kap_GetErrorString()),
    EXPORT_CALL(Kap_TestCall(1)),
    EXPORT_CALL(Kap_SetSampleSpacing(1, 1)),
    EXPORT_CALL(Kap_Velocity(10)),
    EXPORT_CALL(Kap_VelocityMils(10000)),
    EXPORT_CALL(Kap_PenUp()),
    EXPORT_CALL(Kap_PenDown()),
    EXPORT_CALL(Kap_Home()),
    EXPORT_CALL(Kap_InMotion()),
    EXPORT_CALL(Kap_LaserOn(0)),
    EXPORT_CALL(Kap_MoveXY(1, 1)),
    EXPORT_CALL(Kap_MoveXYZ(1, 1, 1)),
    EXPORT_CALL(Kap_MoveZ(1)),
    EXPORT_CALL(Kap_MoveR(1)),
    EXPORT_CALL(Kap_Move4Axis(1)),
    EXPORT_CALL(Kap_JogBeginX()),
    EXPORT_CALL(Kap_JogBeginY()),
    EXPORT_CALL(Kap_JogBeginZ()),
    EXPORT_CALL(Kap_JogBeginR()),
    EXPORT_CALL(Kap_JogSetPosition(1)),
    EXPORT_CALL(Kap_JogEnd()),
    EXPORT_CALL(Kap_GetRtPos(&g_x, &g_y, &g_z)),
    EXPORT_CALL(Kap_GetMachinePosition(&g_x, &g_y, &g_z)),
    EXPORT_CALL(Kap_GetRotorPosition(&g_x)),
    EXPORT_CALL(Kap_Get4AxisPosition(&g_x)),
    EXPORT_CALL(Kap_Finish()),
    EXPORT_CALL(Kap_DumbTerminal(9)),
};

// A Kap_ export without its own hold would take the lock once for each
// low-level export it calls (or never), and run its own part unguarded. The
// library is initialised from Kap_Init on, so the moves and queries do their
// whole work.
TEST(ExportEntry, EveryExportHoldsTheLockOnceForItsWholeRun)
{
    ResetLibraryState();
    TempRoot root;
    root.Write("qorin/qorin.cfg", "1 COMPORT \n");
    MachineBox box;
    box.Attach();
    for (const auto& e : kEveryExport) {
        uint64_t before = FakeLockEntries();
        testing::internal::CaptureStdout();  // the dumb terminal's lines
        e.call();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(FakeLockEntries() - before, 1u) << e.name;
        EXPECT_EQ(FakeLockDepth(), 0) << e.name;
    }
    FakeDetachPeer();
}

// Standard output redirected to a file is fully buffered: what the library
// wrote is in the file only if it flushed.
TEST(ExportEntry, TraceTextIsInTheFileAsSoonAsTheCallReturns)
{
    ResetLibraryState();
    TempRoot root;
    std::string path = root.File("trace.txt");
    fflush(stdout);
    int saved = dup(fileno(stdout));
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, fileno(stdout));
    close(file);
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    Kap_SetDebugMask(3);
    Kap_MoveZ(5);   // the machine family's line
    NirekRemove();  // the protocol family's word
    Kap_SetDebugMask(0);

    std::string seen;
    FILE* reader = fopen(path.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    for (int c; (c = getc(reader)) != EOF;)
        if (c != '\r')  // a text stream's line ends on Windows
            seen += static_cast<char>(c);
    fclose(reader);
    fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    EXPECT_EQ(seen, "\n>>Kap_MoveZ(5)  ComRemove ");
}

}  // namespace
