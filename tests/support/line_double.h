// A small scripted far end for link-level tests: it acknowledges 'p' frames
// and echoes synchronisation pairs, with the faults those tests need. Whole
// boxes are the simulator's job; this double keeps framing tests independent
// of it.
#ifndef ZRQ_TESTS_SUPPORT_LINE_DOUBLE_H
#define ZRQ_TESTS_SUPPORT_LINE_DOUBLE_H

#include <stdint.h>

#include <vector>

struct LineDouble {
    // Acknowledgements.
    bool ackFrames = true;
    uint8_t ackByte = 0x02;
    uint64_t ackDelayMicros = 100;
    int dropAcks = 0;  // the next this many frames get no acknowledgement
    // Synchronisation echoes.
    bool echoSync = true;
    int echoOffset = 1;         // n + 1 is right; 0 echoes the sequence number itself
    int answerFromAttempt = 1;  // attempts before this one get no echo
    uint64_t echoDelayMicros = 100;
    uint64_t firstEchoDelayMicros = 0;  // when set, the first attempt's echo comes this late
    // What it saw.
    int frames = 0;
    int syncAttempts = 0;
    std::vector<uint64_t> frameTimes;  // virtual time at which each frame ended

    // Parser state.
    int frameLeft = 0;
    bool expectSequence = false;
};

// Attaches the double as the fake line's far end; it stays owned by the caller.
void AttachLineDouble(LineDouble* line);

#endif
