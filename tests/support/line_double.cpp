#include "support/line_double.h"

#include "platform/fake.h"

namespace {

void Receive(void* context, const uint8_t* bytes, uint32_t n, uint64_t now)
{
    LineDouble* line = static_cast<LineDouble*>(context);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (line->frameLeft > 0) {
            if (--line->frameLeft == 0) {
                ++line->frames;
                line->frameTimes.push_back(now);
                if (line->dropAcks > 0)
                    --line->dropAcks;
                else if (line->ackFrames)
                    FakeQueueRx({line->ackByte}, now + line->ackDelayMicros);
            }
            continue;
        }
        if (line->expectSequence) {
            line->expectSequence = false;
            ++line->syncAttempts;
            if (line->echoSync && line->syncAttempts >= line->answerFromAttempt)
                FakeQueueRx({static_cast<uint8_t>(b + line->echoOffset)},
                    now
                        + (line->syncAttempts == 1 && line->firstEchoDelayMicros
                                ? line->firstEchoDelayMicros
                                : line->echoDelayMicros));
            continue;
        }
        if (b == 'i' || b == 'N')
            line->expectSequence = true;
        else if (b == 'p')
            line->frameLeft = 6;
    }
}

}  // namespace

void AttachLineDouble(LineDouble* line)
{
    FakePeer peer;
    peer.context = line;
    peer.receive = Receive;
    FakeAttachPeer(peer);
}
