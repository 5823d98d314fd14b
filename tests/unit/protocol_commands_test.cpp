// The command set on the wire: frames, compact and long forms, the pen step,
// the parameter wrappers and what a lost acknowledgement makes of each.
#include <gtest/gtest.h>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "support/sim_peer.h"
#include "unit/protocol_box.h"

namespace {

const uint64_t kSecond = 1000000;

class ProtocolCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        FakeClearSent();
    }

    // Every acknowledgement that was queued has been read, and none is outstanding.
    static void ExpectAcksConsumed()
    {
        EXPECT_EQ(FakeRxPending(), 0u);
        EXPECT_EQ(g_link.readPos, g_link.count);
        EXPECT_EQ(g_protocol.ackPending, 0);
    }
};

struct FrameCase {
    const char* call;
    int32_t (*run)();
    const char* frames;
    int frameCount;
    bool longForm;  // preceded by the pen step while the pen states differ
};

const FrameCase kFrameCases[] = {
    {"NirekXrel(-2)", [] { return NirekXrel(-2); }, "78 FF FF FF FE", 1, true},
    {"NirekYrel(40000)", [] { return NirekYrel(40000); }, "79 00 00 9C 40", 1, true},
    {"NirekXabs(5)", [] { return NirekXabs(5); }, "7C 00 00 00 05", 1, true},
    {"NirekYabs(-1)", [] { return NirekYabs(-1); }, "6C FF FF FF FF", 1, true},
    {"Nirek1abs(2, -1)", [] { return Nirek1abs(2, -1); }, "7A 02 FF FF FF FF", 1, true},
    {"Nirek1rel(0x103, 256)", [] { return Nirek1rel(0x103, 256); }, "5A 03 00 00 01 00", 1, true},
    {"NirekXYrel(100, -2)", [] { return NirekXYrel(100, -2); }, "43 00 64 FF FE", 1, false},
    {"NirekXYrel(32767, -32767)", [] { return NirekXYrel(32767, -32767); }, "43 7F FF 80 01", 1,
        false},
    {"NirekXYrel(0, 0)", [] { return NirekXYrel(0, 0); }, "43 00 00 00 00", 1, false},
    {"NirekXYrel(32768, 1)", [] { return NirekXYrel(32768, 1); }, "72 00 00 80 00 00 00 00 01", 1,
        true},
    {"NirekXYrel(-32768, -32768)", [] { return NirekXYrel(-32768, -32768); },
        "72 FF FF 80 00 FF FF 80 00", 1, true},
    {"NirekXYrel(-32768, 0)", [] { return NirekXYrel(-32768, 0); }, "78 FF FF 80 00", 1, true},
    {"NirekXYrel(0, 40000)", [] { return NirekXYrel(0, 40000); }, "79 00 00 9C 40", 1, true},
    {"NirekXYZrel(1, 2, 0)", [] { return NirekXYZrel(1, 2, 0); }, "43 00 01 00 02", 1, false},
    {"NirekXYZrel(40000, 0, 0)", [] { return NirekXYZrel(40000, 0, 0); }, "78 00 00 9C 40", 1,
        true},
    {"NirekXYZrel(1, 2, 3)", [] { return NirekXYZrel(1, 2, 3); }, "4C 00 01 00 02 00 03", 1, false},
    {"NirekXYZrel(0, 0, 5)", [] { return NirekXYZrel(0, 0, 5); }, "4C 00 00 00 00 00 05", 1, false},
    {"NirekXYZrel(1, 2, 40000)", [] { return NirekXYZrel(1, 2, 40000); },
        "4B 00 00 00 01 00 00 00 02 00 00 9C 40", 1, true},
    {"NirekXYZrel(-32768, 0, 1)", [] { return NirekXYZrel(-32768, 0, 1); },
        "4B FF FF 80 00 00 00 00 00 00 00 00 01", 1, true},
    {"NirekXYabs(1, -1)", [] { return NirekXYabs(1, -1); }, "61 00 00 00 01 FF FF FF FF", 1, true},
    {"NirekXYZabs(1, 2, -3)", [] { return NirekXYZabs(1, 2, -3); },
        "48 00 00 00 01 00 00 00 02 FF FF FF FD", 1, true},
    {"NirekSelectY(0x1FF)", [] { return NirekSelectY(0x1FF); }, "77 FF", 1, false},
    {"NirekSelectXY(3, 1)", [] { return NirekSelectXY(3, 1); }, "66 03 01", 1, false},
    {"NirekSelectXYZ2(3, 1, 4)", [] { return NirekSelectXYZ2(3, 1, 4); }, "50 03 01 04", 1, false},
    {"NirekWaitHalt()", [] { return NirekWaitHalt(); }, "47", 1, false},
    {"NirekTrainEnd()", [] { return NirekTrainEnd(); }, "47", 1, false},
    {"NirekTrainBegin()", [] { return NirekTrainBegin(); }, "74", 1, false},
    {"NirekVector(-1)", [] { return NirekVector(-1); }, "6D 01", 1, false},
    {"NirekVector(0)", [] { return NirekVector(0); }, "6D 00", 1, false},
    {"NirekSpeed(70000)", [] { return NirekSpeed(70000); }, "73 11 70", 1, false},
    {"Nirek1Speed(258, 65535)", [] { return Nirek1Speed(258, 65535); }, "6B 02 FF FF", 1, false},
    {"NirekTestMode(0)", [] { return NirekTestMode(0); }, "54 00", 1, false},
    {"NirekTestMode(2)", [] { return NirekTestMode(2); }, "54 01", 1, false},
    {"NirekSetMinPulse(0)", [] { return NirekSetMinPulse(0); }, "70 00 43 00 00 00 00", 1, false},
    {"NirekSetPulseDuty(1)", [] { return NirekSetPulseDuty(1); }, "70 00 26 00 00 00 01", 1, false},
    {"NirekSetPulseEnable(7)", [] { return NirekSetPulseEnable(7); }, "70 00 34 00 00 00 01", 1,
        false},
    {"NirekSetPulseSpacing(4, 1024)", [] { return NirekSetPulseSpacing(4, 1024); },
        "70 00 0C 00 00 04 00 70 00 33 00 00 00 04", 2, false},
    {"NirekSetTrainRatio(2, 256, 1)", [] { return NirekSetTrainRatio(2, 256, 1); },
        "70 00 0C 00 00 00 02 70 00 0D 00 00 01 00 70 00 23 00 00 00 01", 3, false},
    {"NirekSetEncoder(5, -3)", [] { return NirekSetEncoder(5, -3); },
        "70 00 0C 00 00 00 05 70 00 18 FF FF FF FD", 2, false},
};

TEST_F(ProtocolCommands, EachCallWritesItsFramesAndWaitsForEachAcknowledgement)
{
    for (const FrameCase& c : kFrameCases) {
        SCOPED_TRACE(c.call);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        FakeQueueRxNow(std::vector<uint8_t>(c.frameCount, 0x00));
        EXPECT_EQ(c.run(), 0);
        EXPECT_EQ(FakeSentHex(), c.frames);
        ExpectAcksConsumed();
    }
}

#ifdef ZRQ_HAVE_SIM
// The simulated box parses frames by their own lengths: a frame too short or
// too long would leave an acknowledgement missing and force a resync.
TEST_F(ProtocolCommands, SimulatedBoxAcknowledgesEveryFrameOnce)
{
    for (const FrameCase& c : kFrameCases) {
        SCOPED_TRACE(c.call);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        Box* box = AttachSimBox();
        EXPECT_EQ(c.run(), 0);
        EXPECT_EQ(FakeSentHex(), c.frames);
        EXPECT_EQ(box->Counters().frames, static_cast<uint64_t>(c.frameCount));
        EXPECT_EQ(box->Counters().acksSent, static_cast<uint64_t>(c.frameCount));
        EXPECT_EQ(box->Counters().unknownBytes, 0u);
    }
}
#endif

TEST_F(ProtocolCommands, LongFormMovesAlonePrecedeThemselvesWithThePenStep)
{
    const struct {
        int32_t penWanted;
        int32_t penNow;
        const char* letter;
    } pens[] = {{1, 0, "44 "}, {0, 1, "55 "}};
    for (const auto& pen : pens) {
        for (const FrameCase& c : kFrameCases) {
            SCOPED_TRACE(std::string(c.call) + " pen letter " + pen.letter);
            ResetLibraryState();
            ASSERT_EQ(NirekInstall(1), 0);
            g_protocol.penWanted = pen.penWanted;
            g_protocol.penNow = pen.penNow;
            int frames = c.frameCount + (c.longForm ? 1 : 0);
            FakeQueueRxNow(std::vector<uint8_t>(frames, 0x00));
            EXPECT_EQ(c.run(), 0);
            EXPECT_EQ(FakeSentHex(), (c.longForm ? pen.letter : "") + std::string(c.frames));
            ExpectAcksConsumed();
            // The pen step records nothing: the states still differ.
            EXPECT_EQ(g_protocol.penWanted, pen.penWanted);
            EXPECT_EQ(g_protocol.penNow, pen.penNow);
        }
    }
}

TEST_F(ProtocolCommands, PenStepRepeatsUntilThePenIsCommandedDirectly)
{
    EXPECT_EQ(NirekPenDown(), 0);
    FakeQueueRxNow({0, 0, 0, 0});
    EXPECT_EQ(NirekXabs(5), 0);
    EXPECT_EQ(NirekXabs(6), 0);
    EXPECT_EQ(FakeSentHex(), "44 7C 00 00 00 05 44 7C 00 00 00 06");
    FakeClearSent();
    FakeQueueRxNow({0, 0});
    EXPECT_EQ(NirekPenDownNow(), 0);
    EXPECT_EQ(NirekXabs(7), 0);
    EXPECT_EQ(FakeSentHex(), "44 7C 00 00 00 07");
    ExpectAcksConsumed();
}

TEST_F(ProtocolCommands, PenFlagsChangeOnlyThroughThePenCalls)
{
    // NirekPenUp/Down write nothing, even on a closed channel.
    NirekRemove();
    EXPECT_EQ(NirekPenDown(), 0);
    EXPECT_EQ(g_protocol.penWanted, 1);
    EXPECT_EQ(NirekPenUp(), 0);
    EXPECT_EQ(g_protocol.penWanted, 0);
    EXPECT_EQ(FakeSentHex(), "");
    EXPECT_EQ(g_protocol.penNow, 0);
}

TEST_F(ProtocolCommands, PenNowStandsEvenWhenItsCommandTimesOut)
{
    TestBox box;
    box.Attach();
    EXPECT_EQ(NirekPenDownNow(), ZRQ_ACK_TIMEOUT);
    EXPECT_EQ(g_protocol.penNow, 1);
    EXPECT_EQ(FakeSentHex(), "44 " + SyncHex());
}

TEST_F(ProtocolCommands, FailedPenStepDoesNotStopTheMove)
{
    TestBox box;
    // Silent to the pen letter, acknowledges the move.
    box.onByte = [](TestBox& b, uint8_t byte, uint64_t now) {
        if (byte == 0x7C)
            b.Reply({0x00}, now);
    };
    box.Attach();
    NirekPenDown();
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekXabs(5), 0);
    EXPECT_EQ(FakeSentHex(), "44 " + SyncHex() + " 7C 00 00 00 05");
    EXPECT_GE(FakeClockMicros() - start, 60 * kSecond);
    EXPECT_EQ(g_protocol.ackPending, 0);
}

TEST_F(ProtocolCommands, LostAcknowledgementInWaitModeResynchronisesAndReports256)
{
    const struct {
        const char* call;
        int32_t (*run)();
        const char* frame;
    } cases[] = {
        {"NirekXYZrel long", [] { return NirekXYZrel(1, 2, 40000); },
            "4B 00 00 00 01 00 00 00 02 00 00 9C 40"},
        {"NirekXYZabs", [] { return NirekXYZabs(1, 2, 3); },
            "48 00 00 00 01 00 00 00 02 00 00 00 03"},
        {"NirekXYrel compact", [] { return NirekXYrel(1, 2); }, "43 00 01 00 02"},
        {"NirekSpeed", [] { return NirekSpeed(9); }, "73 00 09"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        TestBox box;
        box.Attach();
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(c.run(), ZRQ_ACK_TIMEOUT);
        uint64_t elapsed = FakeClockMicros() - start;
        EXPECT_GE(elapsed, 60 * kSecond);
        EXPECT_LT(elapsed, 61 * kSecond);
        EXPECT_EQ(FakeSentHex(), std::string(c.frame) + " " + SyncHex());
        EXPECT_EQ(g_protocol.ackPending, 0);
        FakeDetachPeer();
    }
}

TEST_F(ProtocolCommands, PulseSpacingStopsAfterAFailedFirstParameter)
{
    TestBox box;
    box.Attach();
    EXPECT_EQ(NirekSetPulseSpacing(4, 1024), ZRQ_ACK_TIMEOUT);
    EXPECT_EQ(FakeSentHex(), "70 00 0C 00 00 04 00 " + SyncHex());
}

TEST_F(ProtocolCommands, TrainRatioAndEncoderSendEveryParameterAndReportTheLast)
{
    const struct {
        const char* call;
        int32_t (*run)();
        std::vector<const char*> frames;
    } cases[] = {
        {"NirekSetTrainRatio", [] { return NirekSetTrainRatio(1, 256, 1); },
            {"70 00 0C 00 00 00 01", "70 00 0D 00 00 01 00", "70 00 23 00 00 00 01"}},
        {"NirekSetEncoder", [] { return NirekSetEncoder(4, 7); },
            {"70 00 0C 00 00 00 04", "70 00 18 00 00 00 07"}},
    };
    for (const auto& c : cases) {
        for (bool lastAcked : {false, true}) {
            SCOPED_TRACE(std::string(c.call) + (lastAcked ? " last acknowledged" : " all lost"));
            ResetLibraryState();
            ASSERT_EQ(NirekInstall(1), 0);
            TestBox box;
            size_t frameCount = c.frames.size();
            int letters = 0;
            // Only the last parameter command is acknowledged, if at all.
            box.onByte = [&](TestBox& b, uint8_t byte, uint64_t now) {
                if (byte == 'p' && ++letters == int(frameCount) && lastAcked)
                    b.Reply({0x00}, now);
            };
            box.Attach();
            std::string expected;
            for (size_t i = 0; i < frameCount; ++i) {
                expected += (i ? " " : "") + std::string(c.frames[i]);
                if (i + 1 < frameCount || !lastAcked)
                    expected += " " + SyncHex();
            }
            EXPECT_EQ(c.run(), lastAcked ? 0 : ZRQ_ACK_TIMEOUT);
            EXPECT_EQ(FakeSentHex(), expected);
            FakeDetachPeer();
        }
    }
}

TEST_F(ProtocolCommands, LazyModeReturnsAtOnceAndReadsThePenAckBeforeTheMove)
{
    NirekSetWaitMode(0);
    NirekPenDown();
    FakeQueueRx({0x00}, FakeClockMicros() + 3 * kSecond);  // the pen's acknowledgement
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekXabs(1), 0);
    // The move was framed only after the pen's acknowledgement arrived.
    EXPECT_GE(FakeClockMicros() - start, 3 * kSecond);
    EXPECT_EQ(FakeSentHex(), "44 7C 00 00 00 01");
    EXPECT_EQ(g_protocol.ackPending, 1);
}

}  // namespace
