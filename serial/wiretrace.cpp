#include "serial/wiretrace.h"

#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

namespace {

const uint32_t kRunMax = 32;

struct WireTraceState {
    bool variableRead = false;
    FILE* file = nullptr;
    uint64_t startTicks = 0;
    uint64_t ticksPerSecond = 1;
    // Single bytes of the line still open: they are in the file already,
    // the line's end is not.
    uint32_t runCount = 0;
};

WireTraceState g_wireTrace;

uint64_t MicrosNow()
{
    uint64_t ticks = PlatCounterNow() - g_wireTrace.startTicks;
    // Split so that the product cannot overflow for any counter rate.
    uint64_t f = g_wireTrace.ticksPerSecond;
    return ticks / f * 1000000u + ticks % f * 1000000u / f;
}

bool Begin()
{
    WireTraceState& t = g_wireTrace;
    if (!t.variableRead) {
        t.variableRead = true;
        const char* path = getenv(kWireTraceVariable);
        if (path != nullptr && path[0] != '\0') {
            int32_t error = 0;
            t.file = PlatCreateTraceFile(path, &error);
            if (t.file == nullptr) {
                // Said once, where the operator looks, rather than a trace
                // that silently stays empty.
                char reason[256] = "not a regular file";
                if (error != 0 && PlatErrorMessage(error, reason, sizeof reason) == 0)
                    snprintf(reason, sizeof reason, "error %ld", static_cast<long>(error));
                fprintf(stderr, "zrqapi: %s=%s: %s; no wire trace is written\n", kWireTraceVariable,
                    path, reason);
                fflush(stderr);
                return false;
            }
            if (!PlatCounterFrequency(&t.ticksPerSecond) || t.ticksPerSecond == 0)
                t.ticksPerSecond = 1;
            t.startTicks = PlatCounterNow();
        }
    }
    return t.file != nullptr;
}

// A line's start: the time, the direction and, for bytes written, the
// command letter, as the simulator's log names a frame by it.
void LineStart(uint64_t micros, char direction, uint8_t first)
{
    FILE* f = g_wireTrace.file;
    fprintf(f, "%llu %c", static_cast<unsigned long long>(micros), direction);
    if (direction == '>'
        && ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '|'))
        fprintf(f, " '%c'", first);
}

void Line(uint64_t micros, char direction, const uint8_t* bytes, uint32_t n)
{
    FILE* f = g_wireTrace.file;
    LineStart(micros, direction, n > 0 ? bytes[0] : 0);
    for (uint32_t i = 0; i < n; ++i)
        fprintf(f, " %02x", bytes[i]);
    fputc('\n', f);
}

// Ends the line of single bytes, if one is open.
void EndRun()
{
    WireTraceState& t = g_wireTrace;
    if (t.runCount == 0)
        return;
    fputc('\n', t.file);
    t.runCount = 0;
}

}  // namespace

void WireTrace(WireEvent event, int32_t portNumber, const uint8_t* bytes, uint32_t n)
{
    if (!Begin())
        return;
    WireTraceState& t = g_wireTrace;
    uint64_t now = MicrosNow();
    if (event == kWireWrite && n == 1) {
        // Each byte reaches the file as it is written, so the trace holds
        // every byte the box was sent however the process ends (even by
        // _exit or a crash); only the line's end waits for the next event.
        if (t.runCount == kRunMax)
            EndRun();
        if (t.runCount++ == 0)
            LineStart(now, '>', bytes[0]);
        fprintf(t.file, " %02x", bytes[0]);
        fflush(t.file);
        return;
    }
    EndRun();
    unsigned long long micros = now;
    switch (event) {
    case kWireOpen:
        fprintf(t.file, "%llu open COM%d\n", micros, static_cast<int>(portNumber));
        break;
    case kWireClose:
        fprintf(t.file, "%llu close COM%d\n", micros, static_cast<int>(portNumber));
        break;
    case kWireBreak: fprintf(t.file, "%llu break\n", micros); break;
    case kWireWrite: Line(now, '>', bytes, n); break;
    case kWireRead:
        if (n == 0)
            return;  // a look at the line that found nothing only ends a run of single bytes
        Line(now, '<', bytes, n);
        break;
    }
    // Flushed per line: the trace matters most when the process dies.
    fflush(t.file);
}

void WireTraceReset()
{
    WireTraceState& t = g_wireTrace;
    if (t.file != nullptr) {
        EndRun();
        fclose(t.file);
    }
    t = WireTraceState();
}
