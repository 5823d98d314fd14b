// The high-resolution counter, millisecond/tick conversions, deadlines and the
// abort hook consulted by every protocol wait.
#ifndef ZRQ_SERIAL_TIMING_H
#define ZRQ_SERIAL_TIMING_H

#include <stdint.h>

// Low 32 bits of the counter at which a wait ends; always compared through the
// signed difference to the current counter, so wrap-around is harmless.
typedef uint32_t Deadline;

typedef int32_t (*AbortHookFn)(const Deadline* deadline);

struct TimingState {
    uint64_t counterFrequency = 1;
    uint32_t sleepSlack = 0;
};
extern TimingState g_timing;
extern AbortHookFn AbortHook;

int32_t TimerInit();
uint32_t MsToTicks(int32_t ms);
uint32_t TicksToMs(uint32_t ticks);
uint32_t TimerNow();
void SetDeadline(Deadline* deadline, int32_t ms);
int32_t DeadlinePassed(Deadline deadline);
// Signed ticks left until the deadline; 0 or less when it has passed.
int32_t TicksLeft(Deadline deadline);
void WaitUntil(Deadline deadline);
void DelayMs(int32_t ms);
int32_t CtrlAltAbort(const Deadline* deadline);

#endif
