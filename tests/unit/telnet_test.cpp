// The Telnet and COM-PORT codec under the network backend: data through IAC
// doubling both ways, negotiation answers, the server's port settings, and a
// hostile server's input kept within bounds.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/telnet.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string Hex(const uint8_t* bytes, size_t n)
{
    std::string text;
    char piece[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

// Feeds the input in pieces of the given size, as reads would deliver it.
std::string Decode(TelnetSession* s, const Bytes& in, size_t piece)
{
    std::string data;
    for (size_t at = 0; at < in.size(); at += piece) {
        size_t n = in.size() - at < piece ? in.size() - at : piece;
        uint8_t out[256];
        size_t got = TelnetDecode(s, in.data() + at, n, out);
        EXPECT_LE(got, n);
        data += Hex(out, got) + (got != 0 ? " " : "");
    }
    if (!data.empty())
        data.pop_back();
    return data;
}

std::string Replies(TelnetSession* s)
{
    std::string text = Hex(s->reply, s->replyLength);
    s->replyLength = 0;
    return text;
}

TEST(Telnet, DataKeepsEveryByteValueWhateverTheReadBoundaries)
{
    const struct {
        Bytes in;
        const char* data;
    } cases[] = {
        {{0x70, 0xFF, 0xFF, 0x01}, "70 FF 01"}, {{0xFF, 0xFF, 0xFF, 0xFF}, "FF FF"},
        {{0x0D, 0x00, 0x0A}, "0D 00 0A"},                          // binary: no CR NUL rewriting
        {{0x41, 0xFF, 0xF1, 0x42}, "41 42"},                       // IAC NOP carries nothing
        {{0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0, 0x43}, "43"},  // a modem-state note
    };
    for (const auto& c : cases) {
        for (size_t piece : {1u, 2u, 3u, 64u}) {
            TelnetSession s;
            EXPECT_EQ(Decode(&s, c.in, piece), c.data)
                << Hex(c.in.data(), c.in.size()) << " in pieces of " << piece;
        }
    }
}

TEST(Telnet, EncodeDoublesIacAndStopsWhereRoomEnds)
{
    const uint8_t frame[] = {0x70, 0x00, 0x22, 0xFF, 0xFF, 0xFF, 0xFE};
    uint8_t out[32];
    size_t consumed = 0;
    size_t n = TelnetEncode(frame, sizeof frame, out, sizeof out, &consumed);
    EXPECT_EQ(Hex(out, n), "70 00 22 FF FF FF FF FF FF FE");
    EXPECT_EQ(consumed, sizeof frame);
    // A doubled IAC is never split: four bytes of room take 70 00 22 only.
    n = TelnetEncode(frame, sizeof frame, out, 4, &consumed);
    EXPECT_EQ(Hex(out, n), "70 00 22");
    EXPECT_EQ(consumed, 3u);
    // What goes out decodes to what went in.
    n = TelnetEncode(frame, sizeof frame, out, sizeof out, &consumed);
    TelnetSession s;
    uint8_t back[32];
    size_t got = TelnetDecode(&s, out, n, back);
    EXPECT_EQ(Hex(back, got), Hex(frame, sizeof frame));
}

TEST(Telnet, NegotiationAgreesOncePerOptionAndRefusesTheRest)
{
    TelnetSession s;
    TelnetStart(&s);
    EXPECT_EQ(Replies(&s), "FF FB 00 FF FB 03 FF FB 2C FF FD 00 FF FD 03");
    const struct {
        Bytes in;
        const char* answer;
    } steps[] = {
        // The server's own offers (a serial server's greeting): what we asked
        // for is not answered again; ECHO is declined.
        {{0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03}, ""},
        {{0xFF, 0xFB, 0x01}, "FF FE 01"},
        {{0xFF, 0xFE, 0x01}, ""},  // DONT ECHO: it was never on
        {{0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00}, ""},
        {{0xFF, 0xFD, 0x2C}, ""},
        // Repeats of an agreed option change nothing and get no answer.
        {{0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C}, ""},
        // Unknown options are refused each time they are asked for.
        {{0xFF, 0xFD, 0x18}, "FF FC 18"},
        {{0xFF, 0xFB, 0x1F}, "FF FE 1F"},
        // The server turning BINARY off is acknowledged, and back on again.
        {{0xFF, 0xFE, 0x00}, "FF FC 00"},
        {{0xFF, 0xFD, 0x00}, "FF FB 00"},
    };
    for (const auto& step : steps) {
        Decode(&s, step.in, 64);
        EXPECT_EQ(Replies(&s), step.answer) << Hex(step.in.data(), step.in.size());
    }
    EXPECT_TRUE(TelnetReady(&s));
    EXPECT_FALSE(TelnetComPortRefused(&s));
}

TEST(Telnet, ComPortRefusedIsSeenAndNotReady)
{
    TelnetSession s;
    TelnetStart(&s);
    Replies(&s);
    Decode(&s, {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFE, 0x2C}, 64);
    EXPECT_EQ(Replies(&s), "");
    EXPECT_FALSE(TelnetReady(&s));
    EXPECT_TRUE(TelnetComPortRefused(&s));
}

TEST(Telnet, PortSettingsGoOutAndTheServersAnswersAreRead)
{
    TelnetSession s;
    const uint8_t baud[4] = {0x00, 0x00, 0x96, 0x00};
    ASSERT_TRUE(TelnetComPortCommand(&s, kComPortSetBaud, baud, 4));
    const uint8_t iacValue[4] = {0x00, 0x00, 0x00, 0xFF};
    ASSERT_TRUE(TelnetComPortCommand(&s, kComPortSetBaud, iacValue, 4));
    ASSERT_TRUE(TelnetComPortCommand(&s, kComPortSetControl, &kComPortBreakOn, 1));
    EXPECT_EQ(Replies(&s),
        "FF FA 2C 01 00 00 96 00 FF F0 FF FA 2C 01 00 00 00 FF FF FF F0 FF FA 2C 05 05 FF F0");

    // The answers as a serial server sends them, the baud rate's IAC doubled.
    Decode(&s,
        {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x96, 0x00, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x66, 0x08,
            0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x67, 0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x68, 0x01,
            0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0},
        5);
    EXPECT_EQ(s.baud, 38400u);
    EXPECT_EQ(s.dataSize, 8);
    EXPECT_EQ(s.parity, kComPortParityNone);
    EXPECT_EQ(s.stopSize, kComPortStopOne);
    EXPECT_EQ(s.control, kComPortNoFlowControl);
    EXPECT_EQ(s.answered, 0x3Eu);
    Decode(&s, {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xF0}, 1);
    EXPECT_EQ(s.baud, 0xFF00u);
}

TEST(Telnet, HostileInputStaysBounded)
{
    TelnetSession s;
    TelnetStart(&s);
    Replies(&s);
    // A 64 KiB subnegotiation: read to its end and ignored, the data after
    // it intact, no answer recorded from it.
    Bytes huge = {0xFF, 0xFA, 0x2C, 0x65};
    huge.resize(4 + 65536, 0x41);
    huge.insert(huge.end(), {0xFF, 0xF0, 0x55});
    EXPECT_EQ(Decode(&s, huge, 200), "55");
    EXPECT_EQ(s.answered, 0u);
    EXPECT_LE(s.subLength, kTelnetSubMax);

    // An option flood: answers never outgrow their room, whatever comes.
    Bytes flood;
    for (int i = 0; i < 20000; ++i)
        flood.insert(
            flood.end(), {0xFF, static_cast<uint8_t>(0xFB + i % 4), static_cast<uint8_t>(i)});
    Decode(&s, flood, 4096);
    EXPECT_LE(s.replyLength, kTelnetReplyMax);
    EXPECT_GT(s.repliesDropped, 0u);

    // A subnegotiation cut by another command is dropped; the command counts.
    TelnetSession t;
    EXPECT_EQ(Decode(&t, {0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xFB, 0x18, 0x42}, 2), "42");
    EXPECT_EQ(t.answered, 0u);
    EXPECT_EQ(Replies(&t), "FF FE 18");
}

}  // namespace
