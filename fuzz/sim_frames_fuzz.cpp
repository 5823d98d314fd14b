// The simulator's frame parser on arbitrary client bytes. The first two bytes
// pick faults and pacing; the rest arrive in chunks with gaps, so frames are
// split, interleaved with synchronisation runs and timed out.
#include <stdint.h>
#include <stdlib.h>

#include "sim/box.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    BoxConfig config;
    config.faults.atPrompt = data[0] & 1;
    config.faults.stuckAtPrompt = data[0] & 2;
    config.faults.echoSequence = data[0] & 4;
    config.faults.dropAckProbability = data[0] & 8 ? 0.5 : 0.0;
    config.faults.noiseProbability = data[0] & 16 ? 0.5 : 0.0;
    config.faults.homingFails = data[0] & 32;
    config.baud = data[0] & 64 ? 0 : 38400;
    config.identifier = data[0] & 128 ? "" : "ZRQBOX.1";
    config.seed = data[1];
    Box box(config);

    uint64_t now = 0;
    size_t at = 2;
    uint8_t out[64];
    while (at < size) {
        // A chunk: the byte's low nibble is its length, the high nibble a gap.
        uint8_t head = data[at++];
        size_t count = head & 15;
        if (count > size - at)
            count = size - at;
        now += static_cast<uint64_t>(head >> 4) * 15000;
        box.Receive(data + at, count, now);
        at += count;
        box.Advance(now);
        while (box.Transmit(now, out, sizeof out) > 0) { }
        uint64_t due;
        if (box.NextDue(&due) && due < now)
            abort();  // every byte due by now was handed out
        for (int ch = 0; ch < kChannelCount; ++ch)
            (void)box.Position(ch);
        if (box.Log().size() > 1000000)
            abort();
    }
    // Let all motion end, then everything must have been sent.
    uint64_t end = box.MotionEndMicros() + 60000000ull;
    box.Advance(end);
    while (box.Transmit(end, out, sizeof out) > 0) { }
    (void)box.Svg();
    return 0;
}
