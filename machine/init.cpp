// Initialisation and shutdown, and the small exports that set modes and
// report state.
#include <stdio.h>
#include <string.h>

#include "include/zrqapi.h"
#include "machine/keyline.h"
#include "machine/machine.h"
#include "platform/platform.h"
#include "serial/entry.h"
#include "serial/timing.h"

namespace {

const char kQorinConfig[] = "c:\\qorin\\qorin.cfg";
const char kQvConfig[] = "c:\\qv\\main.cfg";
const char kQorinMpmDir[] = "c:\\qorin\\mpm\\";
const char kQvMpmDir[] = "c:\\qv\\mpm\\";
const char kMpmExtension[] = ".mpm";
const size_t kNameBufferSize = 80;
const int kIdentifierLength = 12;  // what NirekGetSavedID can deliver

const int32_t kBoxDead = 3;
const int kSyncRetries = 5;

// Information selectors read at initialisation.
const int32_t kInfoStep = 26;
const int32_t kInfoVunit = 27;
const uint64_t kStepScale = 100000;

// Parameters of the configuration sequence.
const int32_t kParamSelect = 12;
const int32_t kParamAxisEnable = 53;
const int32_t kParamRampTable = 54;
const int32_t kParamRampEnd = 55;
const int32_t kParamLimits = 68;
const int32_t kParamOutputs = 34;

// The identifier comes from the box: it must not steer the file name out of
// the MPM directory (the mapping of drive paths makes '\\' a separator too),
// nor onto a device where the system has device names (Windows opens COM2.mpm
// as a serial port, and initialisation would block on it).
bool IdentifierIsSafe(const char* id)
{
    return strpbrk(id, "/\\:") == nullptr && strstr(id, "..") == nullptr
        && PlatFileNameIsDevice(id) == 0;
}

int32_t FailAfterOpen(MessageId id, int32_t code, const char* trace)
{
    NirekRemove();
    Trace("%s", trace);
    SetError(id);
    return code;
}

int32_t FailMpm(int32_t code)
{
    NirekRemove();
    Trace("?ReadMpm: %s\n", g_machine.errorString);
    return code;
}

void SendConfiguration()
{
    NirekParam(kParamSelect, 0);
    NirekParam(kParamAxisEnable, 1);
    NirekParam(kParamSelect, 1);
    NirekParam(kParamAxisEnable, 1);
    NirekParam(kParamSelect, 3);
    NirekParam(kParamAxisEnable, 1);
    for (int32_t k = 0; k <= 16; ++k)
        NirekParam(kParamRampTable, 0x100 + k * 0x10000);
    NirekParam(kParamRampEnd, 0);
    NirekParam(kParamLimits, 0);
    NirekPenUpNow();
    NirekSetPulseEnable(1);
    NirekSetPulseDuty(1);
    NirekSetMinPulse(0);
    // Pen wanted down, commanded up: the first move lowers it.
    NirekPenDown();
    NirekVector(0);
    NirekSetWaitMode(1);
    for (int32_t n = 0; n <= 3; ++n)
        NirekParam(kParamOutputs, n * 256 + 1);
    NirekSetTrainRatio(2, 256, 1);
    NirekSetTrainRatio(1, 256, 1);
}

// Takes the controller's units and steps, or the MPM file when the controller
// does not describe the X axis. 0 or a result code.
int32_t ReadMotionParameters(const char* mpmDir)
{
    MachineState& m = g_machine;
    m.xVunit = NirekGetInfo(kInfoVunit, kAxisChannelX);
    m.yVunit = NirekGetInfo(kInfoVunit, kAxisChannelY);
    m.zVunit = NirekGetInfo(kInfoVunit, kAxisChannelZ);
    m.rVunit = NirekGetInfo(kInfoVunit, kAxisChannelR);
    m.axisStep[kAxisChannelX] = StepFromInfo(kAxisChannelX);
    m.axisStep[kAxisChannelY] = StepFromInfo(kAxisChannelY);
    m.axisStep[kAxisChannelZ] = StepFromInfo(kAxisChannelZ);
    m.axisStep[kAxisChannelR] = StepFromInfo(kAxisChannelR);
    Trace("\n>>xVunit=%u, yVunit=%u, zVunit=%u, rVunit=%u\n>>xStep=%ld, yStep=%ld, zStep=%ld, "
          "rStep=%ld ",
        m.xVunit, m.yVunit, m.zVunit, m.rVunit, static_cast<long>(m.axisStep[kAxisChannelX]),
        static_cast<long>(m.axisStep[kAxisChannelY]), static_cast<long>(m.axisStep[kAxisChannelZ]),
        static_cast<long>(m.axisStep[kAxisChannelR]));
    if (m.xVunit != 0 && m.axisStep[kAxisChannelX] != 0)
        return 0;

    char id[kNameBufferSize] = {};
    NirekGetSavedID(id);
    int32_t expectedVersion = -1;
    char* dot = strchr(id, '.');
    if (dot != nullptr) {
        *dot = '\0';
        expectedVersion = ParseBase36(dot + 1);
    }
    char fileName[kNameBufferSize];
    // Bounded to the identifier's length, so the name always fits whole.
    snprintf(fileName, sizeof fileName, "%s%.*s%s", mpmDir, kIdentifierLength, id, kMpmExtension);
    if (!IdentifierIsSafe(id)) {
        Trace("\n>>MPM name: %s, version: %d ", fileName, expectedVersion);
        SetError(kMsgCantReadMpm);
        return FailMpm(5);
    }
    int32_t result = ReadMpm(fileName, expectedVersion);
    if (result != 0)
        return FailMpm(result);
    return 0;
}

bool MotionParametersValid()
{
    const MachineState& m = g_machine;
    for (int32_t step : m.axisStep)
        if (StepOutOfRange(step))
            return false;
    return m.xVunit != 0 && m.yVunit != 0 && m.zVunit != 0 && m.rVunit != 0;
}

}  // namespace

int32_t StepFromInfo(int32_t channel)
{
    uint32_t w = NirekGetInfo(kInfoStep, channel);
    uint32_t divisor = w >> 16;
    // A word without its high half describes no step; 0 rather than a division by 0.
    if (w == 0 || divisor == 0)
        return 0;
    uint64_t quotient = static_cast<uint64_t>(w & 0xFFFFu) * kStepScale / divisor;
    return WrapToInt32(quotient);
}

int32_t ReadMpm(const char* fileName, int32_t expectedVersion)
{
    MachineState& m = g_machine;
    Trace("\n>>MPM name: %s, version: %d ", fileName, expectedVersion);
    int32_t version = 0;
    if (ReadKeyValue(fileName, " MPM.VER ", &version) != 0) {
        SetError(kMsgCantReadMpm);
        return 5;
    }
    if (version != expectedVersion) {
        SetError(kMsgWrongMpmVersion);
        return 10;
    }
    // A missing step key leaves -1, which fails the range test.
    for (int32_t& step : m.axisStep)
        step = -1;
    ReadKeyValue(fileName, " X.STEPDIST ", &m.axisStep[kAxisChannelX]);
    ReadKeyValue(fileName, " Y.STEPDIST ", &m.axisStep[kAxisChannelY]);
    ReadKeyValue(fileName, " Z.STEPDIST ", &m.axisStep[kAxisChannelZ]);
    ReadKeyValue(fileName, " R.STEPDIST ", &m.axisStep[kAxisChannelR]);
    m.xVunit = ReadFlagsVunit(fileName, " X.FLAGS ");
    m.yVunit = ReadFlagsVunit(fileName, " Y.FLAGS ");
    m.zVunit = ReadFlagsVunit(fileName, " Z.FLAGS ");
    m.rVunit = ReadFlagsVunit(fileName, " R.FLAGS ");
    if (MotionParametersValid())
        return 0;
    SetError(kMsgBadMpm);
    return 6;
}

extern "C" {

ZRQ_API(int32_t) Kap_InitOnCom(int32_t port)
{
    ExportCall call;
    MachineState& m = g_machine;
    Trace("\n>>Kap_InitOnCom(%d) ", port);
    m.jogActive = 0;
    if (TimerInit() != 0) {
        Trace("?No performance counter\n");
        SetError(kMsgNoPerformanceCounter);
        return 2;
    }
    // With an explicit port the first installation's directory holds the MPM files.
    const char* mpmDir = kQorinMpmDir;
    if (port == -1) {
        if (ReadKeyValue(kQorinConfig, " COMPORT ", &port) != 0) {
            mpmDir = kQvMpmDir;
            if (ReadKeyValue(kQvConfig, " COMPORT ", &port) != 0) {
                Trace("?Can't read config\n");
                SetError(kMsgCantReadConfig);
                return 3;
            }
        }
    }
    if (NirekInstall(port) != 0) {
        Trace("?Can't open COM%ld\n", static_cast<long>(port));
        SetError(kMsgCantOpenPort);
        return 7;
    }
    int32_t state = NirekGetBoxState();
    Trace(" BoxState=%d  ", state);
    if (state == kBoxDead)
        return FailAfterOpen(kMsgNotResponding, 8, "?Box is dead\n");
    for (int i = 0; i < kSyncRetries; ++i)
        NirekSync(1);
    if (NirekSync(0) != 0)
        return FailAfterOpen(kMsgCantSync, 9, "?Can't SYNC\n");
    Trace(" Synced ");

    int32_t result = ReadMotionParameters(mpmDir);
    if (result != 0)
        return result;
    if (!MotionParametersValid())
        return FailAfterOpen(kMsgBadMotionParameters, 11, "?Bad motion parameters\n");
    m.velocityFactor = ComputeVelocityFactor(m.yVunit, m.axisStep[kAxisChannelY]);

    Trace(" Setting params ");
    SendConfiguration();
    m.selectedChannel = -1;
    m.mode3d = 0;
    SelectDefaultAxes();
    Trace("  Init succeeded\n");
    return 0;
}

ZRQ_API(int32_t) Kap_Init(void)
{
    ExportCall call;
    return Kap_InitOnCom(-1);
}

ZRQ_API(int32_t) Kap_init(void)
{
    ExportCall call;
    return Kap_InitOnCom(-1);
}

ZRQ_API(int32_t) Kap_Finish(void)
{
    ExportCall call;
    SetError(kMsgCommandFailed);
    Trace("\n>>Kap_Finish() ");
    // A box that stops answering fails the first parameter; the link is then
    // dead and the rest are not sent. The port is closed either way.
    int32_t failed = 0;
    for (int32_t n = 0; n <= 3; ++n)
        if (NirekParam(kParamOutputs, n * 256) != 0)
            failed = 1;
    int32_t removed = NirekRemove();
    return failed != 0 ? failed : removed;
}

ZRQ_API(int32_t) Kap_GetApiVersion(int32_t* major, int32_t* minor)
{
    ExportCall call;
    if (major != nullptr)
        *major = kApiVersionMajor;
    if (minor != nullptr)
        *minor = kApiVersionMinor;
    return 0;
}

ZRQ_API(int32_t) Kap_SetWaitMode(int32_t on)
{
    ExportCall call;
    return NirekSetWaitMode(on);
}

ZRQ_API(int32_t) Kap_3dMode(void)
{
    ExportCall call;
    g_machine.mode3d = 1;
    return 0;
}

ZRQ_API(int32_t) Kap_2dMode(void)
{
    ExportCall call;
    g_machine.mode3d = 0;
    return 0;
}

ZRQ_API(int32_t) Kap_SetDebugMask(int32_t mask)
{
    ExportCall call;
    int32_t previous = g_machine.verbose;
    g_machine.verbose = mask & 1;
    NirekSetDebugMask(mask & ~1);
    return previous;
}

ZRQ_API(const char*) Kap_GetErrorString(void)
{
    ExportCall call;
    return g_machine.errorString;
}

ZRQ_API(int32_t) Kap_TestCall(int32_t value)
{
    ExportCall call;
    return value;
}

}  // extern "C"
