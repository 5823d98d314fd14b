// Machine control: the Kap_ layer's state, its message texts and the internal
// operations shared by initialisation, unit conversion and motion.
#ifndef ZRQ_MACHINE_MACHINE_H
#define ZRQ_MACHINE_MACHINE_H

#include <stdint.h>

// Controller channel of each axis; the per-axis tables are indexed by it.
const int32_t kAxisChannelZ = 0;
const int32_t kAxisChannelY = 1;
const int32_t kAxisChannelR = 2;
const int32_t kAxisChannelX = 3;
const int32_t kNoAxisChannel = 4;  // third-slot byte that names no axis
const int kAxisCount = 4;

// The message texts, one table; errorString always points into it.
enum MessageId {
    kMsgCommandFailed,
    kMsgNoPerformanceCounter,
    kMsgCantReadConfig,
    kMsgCantReadMpm,
    kMsgBadMpm,
    kMsgCantOpenPort,
    kMsgNotResponding,
    kMsgCantSync,
    kMsgWrongMpmVersion,
    kMsgNotInitialized,
    kMsgBadMotionParameters,
    kMessageCount
};
extern const char* const kMessages[kMessageCount];

// API version reported by Kap_GetApiVersion.
const int32_t kApiVersionMajor = 2;
const int32_t kApiVersionMinor = 1;

struct MachineState {
    const char* errorString = nullptr;
    int32_t verbose = 0;
    // Velocity units of the axes, by name.
    uint32_t xVunit = 0;
    uint32_t yVunit = 0;
    uint32_t zVunit = 0;
    uint32_t rVunit = 0;
    int32_t axisStep[kAxisCount] = {};  // by channel: Z, Y, R, X
    int32_t velocityFactor = 0;
    // Axis selection cache.
    int32_t mode3d = 0;
    int32_t selectedChannel = 0;
    int32_t selectedThird = 0;
    int32_t selectedStep = 0;
    int32_t sampleCount = 0;
    int32_t sampleSpacing = 0;
    // Jog.
    int32_t jogActive = 0;
    int32_t jogUsesEncoder5 = 0;
    int32_t jogStep = 0;
};
extern MachineState g_machine;

void SetError(MessageId id);
// Formatted trace on standard output while the trace flag is set.
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Two's-complement narrowing without relying on implementation-defined casts.
int32_t WrapToInt32(uint64_t value);

// Units and selection.
int32_t TenthMilsToCounts(int32_t tenthMils, int32_t step);
int32_t CountsToTenthMils(int32_t counts, int32_t step);
// True when step is in its valid range and tenthMils converts with it to a
// count that fits 32 bits; only then may the count go to the controller.
bool CountsFit(int32_t tenthMils, int32_t step);
// True when the speed value of ipm lies within the 16-bit speed word (0-65,535).
bool SpeedValueFits(int32_t ipm, int32_t velocityFactor);
int32_t SelectAxes(int32_t channel, int32_t third);
int32_t SelectDefaultAxes();
int32_t SelectSingleAxis(int32_t channel);
int32_t ComputeVelocityFactor(uint32_t yVunit, int32_t yStep);

// Initialisation.
int32_t StepFromInfo(int32_t channel);
int32_t ReadMpm(const char* fileName, int32_t expectedVersion);

#endif
