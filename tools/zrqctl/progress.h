// Waiting for the box to stop, with where the axes are on the way.
#ifndef ZRQ_TOOLS_ZRQCTL_PROGRESS_H
#define ZRQ_TOOLS_ZRQCTL_PROGRESS_H

#include <stdint.h>

#include <string>

struct Command;

// Where the last move was sent, for "to go" in the progress line.
struct Target {
    enum Kind { None, XY, XYZ, Z, R } kind = None;
    int32_t x = 0, y = 0, z = 0, r = 0;
};

extern Target g_target;

double Now();  // monotonic seconds
void SleepMicros(long micros);

// Polls Kap_InMotion until the box stops, printing progress.
int WaitUntilStopped(const Command& command);
// After a move: waits when --wait asked for it and the move was sent.
int AfterMove(const Command& command, int code);

#endif
