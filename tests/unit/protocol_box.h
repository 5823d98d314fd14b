// A scripted far end for the protocol tests: it echoes synchronisation
// attempts like a live box and lets each test react to the bytes the library
// writes. Replies are scheduled in virtual time.
#ifndef ZRQ_TESTS_UNIT_PROTOCOL_BOX_H
#define ZRQ_TESTS_UNIT_PROTOCOL_BOX_H

#include <stdint.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/fake.h"

class TestBox {
public:
    bool echoSync = true;
    int32_t echoOffset = 1;
    uint64_t latencyMicros = 200;
    uint8_t previous = 0;  // the byte written before the one being handled
    int breaks = 0;
    std::vector<uint8_t> received;
    // Called for every byte the library writes, after the sync echo logic.
    std::function<void(TestBox&, uint8_t, uint64_t)> onByte;

    void Attach()
    {
        FakePeer peer;
        peer.context = this;
        peer.receive = &Receive;
        peer.transmit = &Transmit;
        peer.nextDue = &NextDue;
        peer.lineBreak = &Break;
        FakeAttachPeer(peer);
    }

    void Say(const std::vector<uint8_t>& bytes, uint64_t atMicros)
    {
        for (uint8_t b : bytes) {
            auto at = out_.end();
            while (at != out_.begin() && (at - 1)->at > atMicros)
                --at;
            out_.insert(at, Due {atMicros, b});
        }
    }

    // Replies soon after the byte being handled.
    void Reply(const std::vector<uint8_t>& bytes, uint64_t now) { Say(bytes, now + latencyMicros); }

    size_t Pending() const { return out_.size(); }

private:
    struct Due {
        uint64_t at;
        uint8_t value;
    };
    std::deque<Due> out_;

    static void Receive(void* context, const uint8_t* bytes, uint32_t n, uint64_t now)
    {
        TestBox& box = *static_cast<TestBox*>(context);
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t b = bytes[i];
            box.received.push_back(b);
            bool syncLetter = box.previous == 'i' || box.previous == 'N';
            if (box.echoSync && syncLetter && b >= 160 && b <= 191)
                box.Reply({static_cast<uint8_t>(b + box.echoOffset)}, now);
            if (box.onByte)
                box.onByte(box, b, now);
            box.previous = b;
        }
    }

    static uint32_t Transmit(void* context, uint64_t now, uint8_t* out, uint32_t max)
    {
        TestBox& box = *static_cast<TestBox*>(context);
        uint32_t n = 0;
        while (n < max && !box.out_.empty() && box.out_.front().at <= now) {
            out[n++] = box.out_.front().value;
            box.out_.pop_front();
        }
        return n;
    }

    static int NextDue(void* context, uint64_t* due)
    {
        TestBox& box = *static_cast<TestBox*>(context);
        if (box.out_.empty())
            return 0;
        *due = box.out_.front().at;
        return 1;
    }

    static void Break(void* context, int on, uint64_t)
    {
        if (on)
            ++static_cast<TestBox*>(context)->breaks;
    }
};

// Hex of one byte repeated, as FakeSentHex writes it.
inline std::string RepeatHex(const char* byte, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i)
            text += ' ';
        text += byte;
    }
    return text;
}

// Sixteen lead bytes and a synchronisation that succeeds at its first attempt.
inline std::string SyncHex(const char* letter = "69")
{
    return RepeatHex("7F", 16) + " " + letter + " A0";
}

#endif
