// A scripted controller box for the machine-control tests: it parses the
// frames the library writes, acknowledges them, echoes synchronisation,
// answers the probe and information queries from a table, and records every
// frame as hex so tests can assert whole command sequences.
#ifndef ZRQ_TESTS_UNIT_MACHINE_BOX_H
#define ZRQ_TESTS_UNIT_MACHINE_BOX_H

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/fake.h"

class MachineBox {
public:
    // Information values by (selector << 8 | index); identifier words are
    // answered for 12 and 13 after an 8, positions after a 25.
    std::map<int, uint32_t> info;
    std::map<int, uint32_t> slotInfo;  // 12 and 13 after a 25
    std::string identifier = "ZRQBOX.1";
    uint8_t ackByte = 0x02;
    uint8_t homeAck = 0x02;
    uint8_t runState = 0x02;
    bool silent = false;         // answers nothing
    int silentAfterFrames = -1;  // stops answering once this many frames were seen
    int syncAnswers = -1;        // sync attempts still answered; -1 = all
    std::string dropAckLetters;  // frames with these letters get no acknowledgement
    uint64_t latencyMicros = 100;

    std::vector<std::string> frames;  // every complete frame, hex

    MachineBox()
    {
        for (int ch = 0; ch < 4; ++ch) {
            info[27 << 8 | ch] = 16384;
            info[26 << 8 | ch] = 0x00080001;  // step 12,500
        }
    }

    void Attach()
    {
        FakePeer peer;
        peer.context = this;
        peer.receive = &ReceiveThunk;
        peer.transmit = &TransmitThunk;
        peer.nextDue = &NextDueThunk;
        FakeAttachPeer(peer);
    }

    // Frames from index `from` on, joined by " | ".
    std::string FramesFrom(size_t from) const
    {
        std::string all;
        for (size_t i = from; i < frames.size(); ++i)
            all += (i == from ? "" : " | ") + frames[i];
        return all;
    }

    // Frames other than information queries, from index `from` on.
    std::string CommandsFrom(size_t from) const
    {
        std::string all;
        for (size_t i = from; i < frames.size(); ++i) {
            if (frames[i].compare(0, 2, "53") == 0)
                continue;
            all += (all.empty() ? "" : " | ") + frames[i];
        }
        return all;
    }

    static std::string Param(int number, int32_t value)
    {
        char text[32];
        uint32_t v = static_cast<uint32_t>(value);
        snprintf(text, sizeof text, "70 %02X %02X %02X %02X %02X %02X", (number >> 8) & 0xFF,
            number & 0xFF, v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
        return text;
    }

private:
    struct Due {
        uint64_t at;
        uint8_t value;
    };
    std::deque<Due> out_;
    std::vector<uint8_t> frame_;
    size_t frameNeed_ = 0;
    bool afterLead_ = false;
    uint8_t syncLetter_ = 0;
    int handshake_ = -1;  // bytes of the information value still to give, or -1
    uint32_t value_ = 0;
    int leading_ = 25;

    static size_t FrameLength(uint8_t letter)
    {
        switch (letter) {
        case 'U':
        case 'D':
        case 't':
        case 'G': return 1;
        case 'm':
        case 'T':
        case 'w':
        case 'W': return 2;
        case 's':
        case 'S':
        case 'f': return 3;
        case 'P': return 4;
        case 'x':
        case 'y':
        case '|':
        case 'l': return 5;
        case 'z':
        case 'Z': return 6;
        case 'p': return 7;
        case 'a':
        case 'r': return 9;
        case 'h': return 11;
        case 'H':
        case 'K': return 13;
        default: return 0;
        }
    }

    bool Mute() const
    {
        return silent || (silentAfterFrames >= 0 && frames.size() >= size_t(silentAfterFrames));
    }

    void Reply(uint8_t b, uint64_t now)
    {
        if (!Mute())
            out_.push_back({now + latencyMicros, b});
    }

    uint32_t IdentifierWord(int group) const
    {
        std::string padded = identifier;
        padded.resize(12, ' ');
        uint32_t w = 0;
        for (int i = 3; i >= 0; --i)
            w = w << 8 | static_cast<uint8_t>(padded[group * 4 + i]);
        return w;
    }

    uint32_t InfoValue(int selector, int index)
    {
        if (selector == 8 || selector == 25)
            leading_ = selector;
        if (selector == 8)
            return IdentifierWord(0);
        if ((selector == 12 || selector == 13) && leading_ == 8)
            return IdentifierWord(selector - 11);
        if (selector == 12 || selector == 13)
            return slotInfo.count(selector) ? slotInfo[selector] : 0;
        auto it = info.find(selector << 8 | index);
        return it == info.end() ? 0 : it->second;
    }

    void EndFrame(uint64_t now)
    {
        std::string hex = HexBytes(frame_);
        bool muteBefore = Mute();
        frames.push_back(hex);
        if (muteBefore)
            return;
        if (frame_[0] == 'S') {
            value_ = InfoValue(frame_[1], frame_[2]);
            handshake_ = 4;
        } else if (dropAckLetters.find(static_cast<char>(frame_[0])) == std::string::npos) {
            Reply(frame_[0] == 'W' ? homeAck : ackByte, now);
        }
    }

    void Receive(uint8_t b, uint64_t now)
    {
        if (frameNeed_ != 0) {
            frame_.push_back(b);
            if (frame_.size() == frameNeed_) {
                frameNeed_ = 0;
                EndFrame(now);
            }
            return;
        }
        if (b == 0x7F) {
            afterLead_ = true;
            syncLetter_ = 0;
            handshake_ = -1;
            return;
        }
        if (syncLetter_ != 0) {
            syncLetter_ = 0;
            if (syncAnswers > 0)
                --syncAnswers;
            else if (syncAnswers == 0)
                return;
            Reply(static_cast<uint8_t>(b + 1), now);
            return;
        }
        if (afterLead_ && (b == 'i' || b == 'N')) {
            syncLetter_ = b;
            return;
        }
        if (afterLead_ && b == 'G') {  // the probe
            afterLead_ = false;
            Reply(0x02, now);
            return;
        }
        afterLead_ = false;
        if (handshake_ > 0 && (b == '{' || b == '.' || b == '}')) {
            --handshake_;
            Reply(static_cast<uint8_t>(value_ >> (8 * handshake_)), now);
            return;
        }
        if (b == 'n') {
            Reply(runState, now);
            return;
        }
        frameNeed_ = FrameLength(b);
        frame_.assign(1, b);
        if (frameNeed_ == 1) {
            frameNeed_ = 0;
            EndFrame(now);
        }
    }

    static void ReceiveThunk(void* context, const uint8_t* bytes, uint32_t n, uint64_t now)
    {
        for (uint32_t i = 0; i < n; ++i)
            static_cast<MachineBox*>(context)->Receive(bytes[i], now);
    }

    static uint32_t TransmitThunk(void* context, uint64_t now, uint8_t* out, uint32_t max)
    {
        MachineBox& box = *static_cast<MachineBox*>(context);
        uint32_t n = 0;
        while (n < max && !box.out_.empty() && box.out_.front().at <= now) {
            out[n++] = box.out_.front().value;
            box.out_.pop_front();
        }
        return n;
    }

    static int NextDueThunk(void* context, uint64_t* due)
    {
        MachineBox& box = *static_cast<MachineBox*>(context);
        if (box.out_.empty())
            return 0;
        *due = box.out_.front().at;
        return 1;
    }
};

#endif
