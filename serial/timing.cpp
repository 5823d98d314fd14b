#include "serial/timing.h"

#include "platform/platform.h"

TimingState g_timing;
AbortHookFn AbortHook = CtrlAltAbort;

int32_t TimerInit()
{
    g_timing.counterFrequency = 1;
    uint64_t frequency = 0;
    if (!PlatCounterFrequency(&frequency) || frequency == 0)
        return 1;
    g_timing.counterFrequency = frequency;
    g_timing.sleepSlack = MsToTicks(static_cast<int32_t>(PlatSleepSlackMs()));
    return 0;
}

static uint32_t Frequency()
{
    return static_cast<uint32_t>(g_timing.counterFrequency);
}

// 64-bit intermediates: a 10 MHz counter would wrap the 32-bit products.
uint32_t MsToTicks(int32_t ms)
{
    uint64_t f = Frequency();
    if (ms >= 0)
        return static_cast<uint32_t>(static_cast<uint64_t>(ms) * f / 1000u);
    // Negative durations carry no meaning; keep the historical 32-bit result.
    int32_t q = ms / 1000;
    int32_t r = ms % 1000;
    uint32_t u = static_cast<uint32_t>(r) * static_cast<uint32_t>(f);
    return static_cast<uint32_t>(q) * static_cast<uint32_t>(f) + u / 1000u;
}

uint32_t TicksToMs(uint32_t ticks)
{
    uint64_t f = Frequency();
    if (f == 0)
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(ticks) * 1000u / f);
}

uint32_t TimerNow()
{
    return static_cast<uint32_t>(PlatCounterNow());
}

void SetDeadline(Deadline* deadline, int32_t ms)
{
    uint32_t ticks = MsToTicks(ms);
    *deadline = ticks + TimerNow();
}

int32_t TicksLeft(Deadline deadline)
{
    return static_cast<int32_t>(deadline - TimerNow());
}

int32_t DeadlinePassed(Deadline deadline)
{
    return TicksLeft(deadline) <= 0;
}

void WaitUntil(Deadline deadline)
{
    int32_t left = TicksLeft(deadline);
    while (left > 0) {
        uint32_t above = static_cast<uint32_t>(left);
        if (above > g_timing.sleepSlack) {
            // The counter's true rate, which differs from counterFrequency
            // before the first TimerInit.
            uint64_t f = 1;
            if (!PlatCounterFrequency(&f) || f == 0)
                f = 1;
            uint64_t micros = static_cast<uint64_t>(above - g_timing.sleepSlack) * 1000000u / f;
            // A sleep shorter than the slack ends at the next counter reading.
            PlatSleepMicros(static_cast<uint32_t>(micros ? micros : 1));
        }
        left = TicksLeft(deadline);
    }
}

void DelayMs(int32_t ms)
{
    Deadline deadline;
    SetDeadline(&deadline, ms);
    WaitUntil(deadline);
}

int32_t CtrlAltAbort(const Deadline*)
{
    int16_t alt = PlatKeyState(kPlatKeyAlt);
    int16_t ctrl = PlatKeyState(kPlatKeyCtrl);
    return (alt & ctrl) < 0 ? 1 : 0;
}
