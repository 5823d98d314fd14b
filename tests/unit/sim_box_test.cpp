// The box model's answers to byte sequences, and the model on the fake line
// behind the real protocol code.
#ifdef ZRQ_HAVE_SIM

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "sim/box.h"
#include "support/reset.h"
#include "support/sim_peer.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Feeds bytes at a moment of its clock and collects the replies due then.
class Wire {
public:
    explicit Wire(const BoxConfig& config = Unpaced())
        : box(config)
    {
    }

    static BoxConfig Unpaced()
    {
        BoxConfig config;
        config.baud = 0;
        return config;
    }

    std::string Send(const Bytes& bytes, uint64_t at = 0)
    {
        if (at > now)
            now = at;
        box.Receive(bytes.data(), bytes.size(), now);
        return Drain();
    }
    std::string Drain()
    {
        uint8_t out[512];
        // Unpaced replies are due at once.
        size_t n = box.Transmit(now, out, sizeof out);
        return HexBytes(Bytes(out, out + n));
    }

    void Wait(uint64_t micros)
    {
        now += micros;
        box.Advance(now);
    }

    Box box;
    uint64_t now = 1000;
};

Bytes Sync16()
{
    return Bytes(16, 0x7F);
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Be32(uint8_t letter, int32_t v)
{
    uint32_t u = static_cast<uint32_t>(v);
    return {letter, uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u)};
}

Bytes Query(uint8_t selector, uint8_t index)
{
    return {'S', selector, index, '{', '.', '.', '}'};
}

TEST(SimBox, EveryFramedCommandExceptQueryIsAcknowledgedOnce)
{
    struct Case {
        Bytes frame;
        const char* replies;
    };
    const Case cases[] = {
        {{'x', 0, 0, 0, 0}, "02"},
        {{'y', 0, 0, 0, 0}, "02"},
        {{'|', 0, 0, 0, 0}, "02"},
        {{'l', 0, 0, 0, 0}, "02"},
        {{'z', 3, 0, 0, 0, 0}, "02"},
        {{'Z', 3, 0, 0, 0, 0}, "02"},
        {{'C', 0, 0, 0, 0}, "02"},
        {{'r', 0, 0, 0, 0, 0, 0, 0, 0}, "02"},
        {{'L', 0, 0, 0, 0, 0, 0}, "02"},
        {{'K', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "02"},
        {{'a', 0, 0, 0, 0, 0, 0, 0, 0}, "02"},
        {{'H', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "02"},
        {{'U'}, "02"},
        {{'D'}, "02"},
        {{'w', 1}, "02"},
        {{'f', 3, 1}, "02"},
        {{'P', 3, 1, 4}, "02"},
        {{'G'}, "02"},
        {{'t'}, "02"},
        {{'m', 1}, "02"},
        {{'s', 0, 100}, "02"},
        {{'k', 1, 0, 100}, "02"},
        {{'T', 0}, "02"},
        {{'p', 0, 34, 0, 0, 1, 1}, "02"},
        {{'S', 27, 3}, ""},
        {{'W', 0}, "02"},
        {{'h', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "02"},
    };
    for (const Case& c : cases) {
        Wire wire;
        EXPECT_EQ(wire.Send(c.frame), c.replies) << "letter " << char(c.frame[0]);
        EXPECT_EQ(FrameLength(c.frame[0]), static_cast<int>(c.frame.size()));
        // One byte short: nothing yet; the last byte completes the frame.
        Wire split;
        Bytes head(c.frame.begin(), c.frame.end() - 1);
        if (!head.empty()) {
            EXPECT_EQ(split.Send(head), "") << "letter " << char(c.frame[0]);
            EXPECT_EQ(split.Send(Bytes {c.frame.back()}), c.replies)
                << "letter " << char(c.frame[0]);
        }
    }
}

TEST(SimBox, SynchronisationEchoesAndItsFaults)
{
    struct Case {
        const char* name;
        BoxFaults faults;
        Bytes sent;
        const char* replies;
    };
    BoxFaults plain;
    BoxFaults echoN;
    echoN.echoSequence = true;
    BoxFaults fromThird;
    fromThird.syncFromAttempt = 3;
    const Case cases[] = {
        {"i", plain, Cat(Sync16(), {'i', 160}), "A1"},
        {"N", plain, Cat(Sync16(), {'N', 191}), "C0"},
        {"several attempts", plain, Cat(Sync16(), {'N', 160, 'N', 161, 'i', 162}), "A1 A2 A3"},
        {"echo n", echoN, Cat(Sync16(), {'i', 160}), "A0"},
        {"from attempt 3", fromThird, Cat(Sync16(), {'i', 160, 'i', 161, 'i', 162, 'i', 163}),
            "A3 A4"},
        {"out of range is no attempt", plain, Cat(Sync16(), {'i', 159, 'i', 192}), ""},
    };
    for (const Case& c : cases) {
        BoxConfig config = Wire::Unpaced();
        config.faults = c.faults;
        Wire wire(config);
        EXPECT_EQ(wire.Send(c.sent), c.replies) << c.name;
    }
}

TEST(SimBox, AttemptCountStartsAgainWithEachSyncRun)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.syncFromAttempt = 2;
    Wire wire(config);
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'i', 160, 'i', 161})), "A2");
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'i', 160})), "");
    EXPECT_EQ(wire.box.Counters().syncRuns, 2u);
}

TEST(SimBox, LateEchoArrivesAfterItsDelay)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.syncEchoDelayMicros = 300000;
    Box box(config);
    Bytes bytes = Cat(Sync16(), {'i', 160});
    box.Receive(bytes.data(), bytes.size(), 1000);
    uint64_t due = 0;
    ASSERT_TRUE(box.NextDue(&due));
    EXPECT_EQ(due, 301000u);
    uint8_t out[4];
    EXPECT_EQ(box.Transmit(300999, out, 4), 0u);
    EXPECT_EQ(box.Transmit(301000, out, 4), 1u);
}

TEST(SimBox, RepliesArePacedAtTheBaudRate)
{
    BoxConfig config;  // 38400 baud: 260 us a byte
    Box box(config);
    Bytes bytes = Cat(Sync16(), {'i', 160, 'i', 161, 'i', 162});
    box.Receive(bytes.data(), bytes.size(), 5000);
    std::vector<uint64_t> dues;
    uint8_t out[1];
    uint64_t due;
    while (box.NextDue(&due)) {
        dues.push_back(due);
        box.Transmit(due, out, 1);
    }
    EXPECT_EQ(dues, (std::vector<uint64_t> {5260, 5520, 5780}));
}

TEST(SimBox, InformationQueryAnswersMostSignificantByteFirst)
{
    BoxConfig config = Wire::Unpaced();
    config.identifier = "K12.1A";
    config.stepInfo[kChannelR] = 0x00640019;
    config.velocityUnit[kChannelX] = 0x01020304;
    struct Case {
        Bytes sent;
        const char* replies;
    };
    const Case cases[] = {
        {Query(26, kChannelR), "00 64 00 19"},
        {Query(27, kChannelX), "01 02 03 04"},
        {Query(27, 9), "00 00 00 00"},
        {Query(99, 0), "00 00 00 00"},
        // Characters 1-4 "K12.", 5-8 "1A  ": the last byte is the first character.
        {Cat(Query(8, 0), Query(12, 0)), "2E 32 31 4B 20 20 41 31"},
        {Query(13, 0), "20 20 20 20"},
    };
    Wire wire(config);
    for (const Case& c : cases)
        EXPECT_EQ(wire.Send(c.sent), c.replies);
}

TEST(SimBox, SelectorsTwelveAndThirteenFollowTheLeadingSelector)
{
    Wire wire;
    wire.Send({'P', kChannelX, kChannelZ, kChannelR});
    wire.Send(Be32('x', 0));
    wire.Send({'H', 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0xFF, 0xFF, 0xFC, 0});  // X 4096, Z 8192, R -1024
    wire.now += 100000000;                                                // long after the move
    EXPECT_EQ(wire.Send(Cat(Query(25, 0), Query(12, 0))), "00 00 10 00 00 00 20 00");
    EXPECT_EQ(wire.Send(Query(13, 0)), "FF FF FC 00");
    EXPECT_EQ(wire.Send(Cat(Query(8, 0), Query(13, 0))), "42 51 52 5A 20 20 20 20");
    // Other selectors between do not change which meaning 12 has.
    EXPECT_EQ(wire.Send(Cat(Query(27, 1), Query(12, 0))), "00 00 40 00 31 2E 58 4F");
    EXPECT_EQ(wire.Send(Cat(Query(25, 0), Query(2, kChannelZ))), "00 00 10 00 00 00 20 00");
}

TEST(SimBox, EmptySlotReadsZero)
{
    Wire wire;
    wire.Send({'P', kChannelX, kChannelY, 4});
    wire.Send({'z', kChannelZ, 0, 0, 0x40, 0});
    wire.now += 100000000;
    EXPECT_EQ(wire.Send(Cat(Query(25, 0), Query(13, 0))), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(wire.Send(Query(2, kChannelZ)), "00 00 40 00");
}

struct MoveCase {
    const char* name;
    Bytes frame;
    int32_t z, y, r, x;  // expected positions from X 1000, Y 2000, Z 3000, R 4000
};

TEST(SimBox, EveryMoveFormReachesItsTarget)
{
    // Slots hold X, Y, Z (power-up order).
    const MoveCase cases[] = {
        {"x rel", Be32('x', 24), 3000, 2000, 4000, 1024},
        {"y rel", Be32('y', -2000), 3000, 0, 4000, 1000},
        {"| abs", Be32('|', -5), 3000, 2000, 4000, -5},
        {"l abs", Be32('l', 7), 3000, 7, 4000, 1000},
        {"z abs R", {'z', kChannelR, 0, 0, 0, 9}, 3000, 2000, 9, 1000},
        {"Z rel Z", {'Z', kChannelZ, 0xFF, 0xFF, 0xFF, 0xFF}, 2999, 2000, 4000, 1000},
        {"Z no axis", {'Z', 7, 0, 0, 1, 0}, 3000, 2000, 4000, 1000},
        {"C", {'C', 0x00, 0x64, 0xFF, 0xFE}, 3000, 1998, 4000, 1100},
        {"r", {'r', 0, 0, 0x80, 0, 0, 0, 0, 1}, 3000, 2001, 4000, 1000 + 32768},
        {"L", {'L', 0, 1, 0, 2, 0, 3}, 3003, 2002, 4000, 1001},
        {"K", {'K', 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0x9C, 0x40}, 43000, 2002, 4000, 1001},
        {"a", {'a', 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFB}, 3000, -5, 4000, 5},
        {"H", {'H', 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}, 3, 2, 4000, 1},
    };
    for (const MoveCase& c : cases) {
        Wire wire;
        wire.Send({'z', kChannelX, 0, 0, 0x03, 0xE8});
        wire.Send({'z', kChannelY, 0, 0, 0x07, 0xD0});
        wire.Send({'z', kChannelZ, 0, 0, 0x0B, 0xB8});
        wire.Send({'z', kChannelR, 0, 0, 0x0F, 0xA0});
        std::string ack = wire.Send(c.frame);
        EXPECT_EQ(ack, wire.box.Busy() ? "00" : "02") << c.name;
        wire.Wait(1000000000ull);
        EXPECT_EQ(wire.box.Position(kChannelZ), c.z) << c.name;
        EXPECT_EQ(wire.box.Position(kChannelY), c.y) << c.name;
        EXPECT_EQ(wire.box.Position(kChannelR), c.r) << c.name;
        EXPECT_EQ(wire.box.Position(kChannelX), c.x) << c.name;
    }
}

TEST(SimBox, SelectionCommandsFillTheSlots)
{
    Wire wire;
    wire.Send({'P', 3, 0, 4});
    EXPECT_EQ(wire.box.Slot(0), kChannelX);
    EXPECT_EQ(wire.box.Slot(1), kChannelZ);
    EXPECT_EQ(wire.box.Slot(2), kNoAxis);
    wire.Send({'w', 2});
    EXPECT_EQ(wire.box.Slot(1), kChannelR);
    wire.Send({'f', 1, 9});
    EXPECT_EQ(wire.box.Slot(0), kChannelY);
    EXPECT_EQ(wire.box.Slot(1), kNoAxis);
    // A move aimed at an empty slot leaves every axis where it was.
    wire.Send(Be32('y', 5000));
    wire.Wait(1000000000ull);
    for (int ch = 0; ch < kChannelCount; ++ch)
        EXPECT_EQ(wire.box.Position(ch), 0) << ch;
}

TEST(SimBox, MoveTakesStepsOverSpeedAndReportsBusyMeanwhile)
{
    Wire wire;
    // v = 2000 with a velocity unit of 16384: 2000 steps/s. 4000 steps: 2 s.
    wire.Send({'s', 0x07, 0xD0});
    EXPECT_EQ(wire.box.Speed(), 2000u);
    EXPECT_EQ(wire.Send({'a', 0, 0x3E, 0x80, 0, 0, 0, 0x04, 0}), "00");  // busy at acceptance
    EXPECT_EQ(wire.box.MotionEndMicros(), wire.now + 2000000);
    EXPECT_EQ(wire.Send({'n'}, wire.now + 1000000), "00");
    EXPECT_EQ(wire.box.Position(kChannelX), 4000 * 512);  // half way
    EXPECT_EQ(wire.Send({'n'}, wire.now + 1000000), "02");
    EXPECT_EQ(wire.box.Position(kChannelX), 4000 * 1024);
    EXPECT_EQ(wire.box.Position(kChannelY), 1024);
}

TEST(SimBox, SpeedFollowsTheVelocityUnitOfY)
{
    BoxConfig config = Wire::Unpaced();
    config.velocityUnit[kChannelY] = 64;  // v = 16384 gives 64 steps/s
    config.velocityUnit[kChannelZ] = 0;   // not reported: taken as 16384
    Wire wire(config);
    wire.Send({'s', 0x40, 0x00});
    EXPECT_EQ(wire.box.Speed(), 64u);
    wire.Send({'k', kChannelZ, 0x00, 0x0A});     // 10 steps/s on Z alone
    wire.Send({'Z', kChannelZ, 0, 0, 0x28, 0});  // 10 steps
    EXPECT_EQ(wire.box.MotionEndMicros(), wire.now + 1000000);
}

TEST(SimBox, MovesQueueBehindTheRunningOne)
{
    Wire wire;  // default 4000 steps/s
    wire.Send(Be32('x', 4000 * 1024));
    wire.Send(Be32('x', 4000 * 1024));
    EXPECT_EQ(wire.box.Target(kChannelX), 8000 * 1024);
    EXPECT_EQ(wire.box.MotionEndMicros(), wire.now + 2000000);
    wire.Wait(1000000);
    EXPECT_EQ(wire.box.Position(kChannelX), 4000 * 1024);
}

TEST(SimBox, WaitForHaltIsAcknowledgedWhenMotionEnds)
{
    Wire wire;                          // default 4000 steps/s
    EXPECT_EQ(wire.Send({'G'}), "02");  // idle: at once
    wire.Send(Be32('x', 4000 * 1024));  // 1 s of motion
    EXPECT_EQ(wire.Send({'G'}), "");
    wire.Wait(999000);
    EXPECT_EQ(wire.Drain(), "");
    wire.Wait(1000);
    EXPECT_EQ(wire.Drain(), "02");  // not busy any more
    wire.Send({'t'});
    wire.Send(Be32('x', 4000 * 1024));
    EXPECT_EQ(wire.Send({'G'}), "00");  // ending a train does not wait
}

TEST(SimBox, HeldWaitForHaltDelaysNoOtherReply)
{
    Wire wire;                          // default 4000 steps/s
    wire.Send(Be32('x', 4000 * 1024));  // 1 s of motion
    EXPECT_EQ(wire.Send({'G'}), "");
    // Run state, a query and a frame are answered while the halt is awaited.
    EXPECT_EQ(wire.Send({'n'}), "00");
    EXPECT_EQ(wire.Send(Query(27, 1)), "00 00 40 00");
    EXPECT_EQ(wire.Send({'U'}), "00");
    EXPECT_EQ(wire.box.RepliesQueued(), 1u);
    wire.Wait(1000000);
    EXPECT_EQ(wire.Drain(), "02");

    // Straight after a 0x7F run, 'G' is the probe: answered while moving.
    wire.Send(Be32('x', 4000 * 1024));
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'G'})), "00");
    EXPECT_TRUE(wire.box.Busy());
    // After a synchronisation attempt it waits for the halt again.
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'i', 170, 'G'})), "AB");
    wire.Wait(1000000);
    EXPECT_EQ(wire.Drain(), "02");
}

TEST(SimBox, SynchronisationAndStopDropHeldAcknowledgements)
{
    struct Case {
        const char* name;
        Bytes interrupt;
        const char* replies;  // to the interrupting bytes
        bool halts;
    };
    const Case cases[] = {
        {"sync run", Cat(Sync16(), {'N', 160}), "A1", false},
        {"emergency stop", Cat(Bytes(16, 0x60), Cat(Sync16(), {'i', 160})), "A1", true},
    };
    for (const Case& c : cases) {
        Wire wire;
        wire.Send(Be32('x', 4000 * 1024));  // 1 s
        EXPECT_EQ(wire.Send({'G'}), "") << c.name;
        // The echo comes at once, not behind the held acknowledgement.
        EXPECT_EQ(wire.Send(c.interrupt, wire.now + 100000), c.replies) << c.name;
        EXPECT_EQ(wire.box.Busy(), !c.halts) << c.name;
        wire.Wait(2000000);
        EXPECT_EQ(wire.Drain(), "") << c.name;
        EXPECT_EQ(wire.box.Counters().heldRepliesDropped, 1u) << c.name;
        uint64_t due = 0;
        EXPECT_FALSE(wire.box.NextDue(&due)) << c.name;
    }
}

TEST(SimBox, HeldAcknowledgementIsDueAtTheHaltPlusItsWireTime)
{
    BoxConfig config;  // 38400 baud: 260 us a byte
    Wire wire(config);
    const uint64_t start = wire.now;
    wire.Send(Be32('x', 40 * 1024));  // 10 ms
    wire.Send({'G'});
    uint64_t due = 0;
    ASSERT_TRUE(wire.box.NextDue(&due));
    EXPECT_EQ(due, start + 260);  // the move's acknowledgement first
    wire.Wait(260);
    EXPECT_EQ(wire.Drain(), "00");
    ASSERT_TRUE(wire.box.NextDue(&due));
    EXPECT_EQ(due, start + 10000 + 260);
    wire.Wait(due - wire.now - 1);
    EXPECT_EQ(wire.Drain(), "");
    wire.Wait(1);
    EXPECT_EQ(wire.Drain(), "02");
}

TEST(SimBox, EmergencyStopHaltsMotionWhereItIs)
{
    Wire wire;
    wire.Send({'D'});
    wire.Send(Be32('x', 4000 * 1024));  // 1 s
    wire.Send(Be32('y', 4000 * 1024));  // queued, never runs
    wire.Send(Bytes(16, 0x60), wire.now + 500000);
    EXPECT_EQ(wire.box.Counters().emergencyStops, 1u);
    EXPECT_FALSE(wire.box.Busy());
    EXPECT_EQ(wire.box.Position(kChannelX), 2000 * 1024);
    EXPECT_EQ(wire.box.Target(kChannelY), 0);
    ASSERT_EQ(wire.box.Drawn().size(), 1u);
    EXPECT_EQ(wire.box.Drawn()[0].x1, 2000 * 1024);
    // Fifteen are not a stop; 0x60 inside a frame is an argument.
    wire.Send(Be32('x', 1024));
    wire.Send(Bytes(15, 0x60));
    wire.Send({'p', 0x60, 0x60, 0x60, 0x60, 0x60, 0x60});
    EXPECT_EQ(wire.box.Counters().emergencyStops, 1u);
    EXPECT_EQ(wire.box.Param(0x6060), 0x60606060);
}

TEST(SimBox, RunStateAndAcknowledgementCarryBusy)
{
    Wire wire;
    EXPECT_EQ(wire.Send({'n'}), "02");
    EXPECT_EQ(wire.Send(Be32('x', 1024 * 40)), "00");
    EXPECT_EQ(wire.Send({'n'}), "00");
    EXPECT_EQ(wire.Send({'U'}), "00");
    EXPECT_EQ(wire.Send({'n'}, wire.now + 10000), "02");
    EXPECT_EQ(wire.Send({'U'}), "02");
}

TEST(SimBox, HomingDrivesAxesToZeroAndReportsInBitZero)
{
    Wire wire;
    wire.Send({'z', kChannelR, 0, 0, 0x50, 0});
    wire.Send({'z', kChannelZ, 0, 0, 0x50, 0});
    wire.now += 100000000;
    EXPECT_EQ(wire.Send({'W', 0xFF}), "00");  // accepted, success, moving
    wire.Wait(100000000);
    EXPECT_EQ(wire.box.Position(kChannelR), 0);
    EXPECT_EQ(wire.box.Position(kChannelZ), 0);

    wire.Send({'z', kChannelR, 0, 0, 0x50, 0});
    wire.Send({'z', kChannelZ, 0, 0, 0x50, 0});
    wire.now += 100000000;
    EXPECT_EQ(wire.Send({'h', 1 << kChannelZ, 1, 0, 0, 0, 0, 0, 0, 0, 0}), "00");
    wire.Wait(100000000);
    EXPECT_EQ(wire.box.Position(kChannelZ), 0);
    EXPECT_EQ(wire.box.Position(kChannelR), 0x5000);

    wire.box.Faults().homingFails = true;
    EXPECT_EQ(wire.Send({'W', 0xFF}), "03");
    EXPECT_EQ(wire.box.Position(kChannelR), 0x5000);
}

TEST(SimBox, RampPreparationReportsInBitZero)
{
    Wire wire;
    EXPECT_EQ(wire.Send({'p', 0, 1, 0, 0, 0, 0}), "02");
    wire.box.Faults().rampFails = true;
    EXPECT_EQ(wire.Send({'p', 0, 1, 0, 0, 0, 0}), "03");
    EXPECT_EQ(wire.Send({'p', 0, 2, 0, 0, 0, 0}), "02");
}

TEST(SimBox, PulseTrainMovesTheEncodersAxis)
{
    Wire wire;
    wire.Send({'P', kChannelX, kChannelR, 4});
    wire.Send({'t'});
    ASSERT_TRUE(wire.box.TrainRunning());
    wire.Send({'p', 0, 12, 0, 0, 0, 5});
    wire.Send({'p', 0, 24, 0, 0, 0x01, 0x00});  // 256 -> 1024 counts
    wire.Send({'p', 0, 12, 0, 0, 0, 4});
    wire.Send({'p', 0, 24, 0xFF, 0xFF, 0xFF, 0xFF});  // -1 -> -4 counts
    wire.Wait(1000000);
    EXPECT_EQ(wire.box.Position(kChannelR), 1024);
    EXPECT_EQ(wire.box.Position(kChannelX), -4);
    wire.Send({'G'});
    EXPECT_FALSE(wire.box.TrainRunning());
    wire.Send({'p', 0, 24, 0, 0, 0x10, 0x00});  // no train: only stored
    wire.Wait(1000000);
    EXPECT_EQ(wire.box.Position(kChannelX), -4);
    EXPECT_EQ(wire.box.Param(24), 0x1000);
}

TEST(SimBox, PenDownTravelIsDrawnAndWrittenAsSvg)
{
    Wire wire;
    wire.Send({'a', 0, 0, 0x04, 0, 0, 0, 0x04, 0});  // pen up: not drawn
    wire.Send({'D'});
    wire.Send({'a', 0, 0, 0x08, 0, 0, 0, 0x04, 0});
    wire.Send({'a', 0, 0, 0x08, 0, 0, 0, 0x08, 0});
    wire.Send({'U'});
    wire.Send({'a', 0, 0, 0x0C, 0, 0, 0, 0x0C, 0});
    wire.Send({'D'});
    wire.Send({'z', kChannelZ, 0, 0, 0x04, 0});  // Z only: nothing drawn
    ASSERT_EQ(wire.box.Drawn().size(), 2u);
    EXPECT_EQ(wire.box.Drawn()[0].x0, 1024);
    EXPECT_EQ(wire.box.Drawn()[1].y1, 2048);
    std::string svg = wire.box.Svg();
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("d=\"M1.000 -1.000 L2.000 -1.000 L2.000 -2.000\""), std::string::npos)
        << svg;
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(Box().Svg().find("<path"), std::string::npos);
}

TEST(SimBox, ParametersAreStored)
{
    Wire wire;
    wire.Send({'p', 0, 34, 0, 0, 1, 1, 'p', 0, 12, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(wire.box.Param(34), 257);
    EXPECT_EQ(wire.box.Param(12), -1);
    EXPECT_FALSE(wire.box.HasParam(99));
    wire.Send({'m', 1, 'T', 7});
    EXPECT_TRUE(wire.box.VectorMode());
    EXPECT_TRUE(wire.box.TestMode());
}

TEST(SimBox, GarbageIsCountedAndIgnored)
{
    Wire wire;
    EXPECT_EQ(wire.Send({0x00, 0xFF, 'q', '{', '.', '}', 0x0D}), "");
    EXPECT_EQ(wire.box.Counters().unknownBytes, 7u);
    EXPECT_EQ(wire.Send({'p', 0, 2, 0, 0, 0, 3}), "02");
}

TEST(SimBox, IncompleteFrameIsDroppedAfterAGap)
{
    Wire wire;
    EXPECT_EQ(wire.Send({'p', 0, 12}), "");
    // The rest of the frame never came; the next frame starts 1 s later.
    EXPECT_EQ(wire.Send({'p', 0, 34, 0, 0, 0, 1}, wire.now + 1000000), "02");
    EXPECT_EQ(wire.box.Counters().truncatedFrames, 1u);
    EXPECT_EQ(wire.box.Param(34), 1);
    EXPECT_FALSE(wire.box.HasParam(12));
    // A late sync run realigns as well.
    wire.Send({'K', 1, 2});
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'i', 170}), wire.now + 1000000), "AB");
}

TEST(SimBox, LostAcknowledgementFaults)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.dropAckNumber = 2;
    Wire wire(config);
    EXPECT_EQ(wire.Send({'U', 'U', 'U'}), "02 02");
    EXPECT_EQ(wire.box.Counters().acksDropped, 1u);
    wire.box.Faults().dropAckProbability = 1.0;
    EXPECT_EQ(wire.Send({'U', 'D'}), "");
    wire.box.Faults().dropAckProbability = 0.5;
    std::string some = wire.Send(Bytes(200, 'U'));
    size_t acks = (some.size() + 1) / 3;
    EXPECT_GT(acks, 60u);
    EXPECT_LT(acks, 140u);
}

TEST(SimBox, DelayedAcknowledgementIsDueLater)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.ackDelayMicros = 2000000;
    Box box(config);
    uint8_t u = 'U';
    box.Receive(&u, 1, 100);
    uint64_t due = 0;
    ASSERT_TRUE(box.NextDue(&due));
    EXPECT_EQ(due, 2000100u);
}

TEST(SimBox, NoiseBytesComeBeforeReplies)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.noiseProbability = 1.0;
    Wire wire(config);
    std::string replies = wire.Send({'U'});
    EXPECT_EQ(replies.size(), 5u);  // "nn 02"
    EXPECT_EQ(replies.substr(3), "02");
    EXPECT_EQ(wire.box.Counters().noiseBytes, 1u);
}

TEST(SimBox, SilentBoxAnswersNothing)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.silent = true;
    Wire wire(config);
    EXPECT_EQ(wire.Send(Cat(Cat(Sync16(), {'i', 160, 'G', 'n'}), Query(27, 1))), "");
    wire.box.Faults().silent = false;
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'i', 160})), "A1");
}

TEST(SimBox, PromptAnswersSlashThenStartsTheProtocol)
{
    BoxConfig config = Wire::Unpaced();
    config.faults.atPrompt = true;
    Wire wire(config);
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'G'})), "");
    std::string text = wire.Send({'\r', '/', '\r'});
    ASSERT_GE(text.size(), 5u);
    EXPECT_EQ(text.substr(text.size() - 5), "3E 20");
    EXPECT_LT(text.size(), 100u * 3);
    EXPECT_FALSE(wire.box.AtPrompt());
    EXPECT_EQ(wire.Send(Cat(Sync16(), {'N', 160})), "A1");

    config.faults.stuckAtPrompt = true;
    Wire stuck(config);
    EXPECT_NE(stuck.Send({'\r', '/', '\r'}), "");
    EXPECT_EQ(stuck.Send(Cat(Sync16(), {'N', 160})), "");
    EXPECT_EQ(stuck.box.Counters().promptsShown, 1u);
}

// ---- the model behind the real protocol code, in virtual time ----

class SimOnFakeLine : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }
    void TearDown() override { DetachSimBox(); }
};

TEST_F(SimOnFakeLine, LibrarySynchronisesAndItsParameterLandsInTheBox)
{
    Box* box = AttachSimBox();
    ASSERT_EQ(NirekInstall(3), 0);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(NirekParam(34, 257), 0);
    EXPECT_EQ(box->Param(34), 257);
    EXPECT_EQ(box->Counters().acksSent, 1u);
    EXPECT_EQ(box->Counters().syncEchoes, 1u);
}

TEST_F(SimOnFakeLine, SyncSucceedsFromTheFifthAttempt)
{
    BoxConfig config;
    config.faults.syncFromAttempt = 5;
    Box* box = AttachSimBox(config);
    ASSERT_EQ(NirekInstall(3), 0);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(box->Counters().syncAttempts, 5u);
    EXPECT_NE(FakeSentHex().find("69 A4"), std::string::npos);
}

TEST_F(SimOnFakeLine, EchoOfTheSequenceNumberNeverSynchronises)
{
    BoxConfig config;
    config.faults.echoSequence = true;
    AttachSimBox(config);
    ASSERT_EQ(NirekInstall(3), 0);
    EXPECT_EQ(NirekSync(0), 1);
}

TEST_F(SimOnFakeLine, LostAcknowledgementTimesOutAndResynchronises)
{
    BoxConfig config;
    config.faults.dropAckNumber = 1;
    Box* box = AttachSimBox(config);
    ASSERT_EQ(NirekInstall(3), 0);
    NirekSetTimeout(5);
    EXPECT_EQ(NirekParam(12, 1), 256);
    EXPECT_EQ(box->Counters().syncEchoes, 1u);
    EXPECT_EQ(NirekParam(12, 2), 0);
    EXPECT_EQ(box->Param(12), 2);
}

TEST_F(SimOnFakeLine, MachineControlInitialisesMovesAndReadsBack)
{
    Box* box = AttachSimBox();
    ASSERT_EQ(Kap_InitOnCom(3), 0);
    EXPECT_EQ(box->Slot(1), kChannelY);
    EXPECT_EQ(box->Slot(2), kNoAxis);
    // One inch and half an inch with 12500e-8 inch steps: 8000 and 4000 steps.
    ASSERT_EQ(Kap_MoveXY(10000, 5000), 0);
    EXPECT_EQ(Kap_InMotion(), 1);
    for (int i = 0; i < 600 && Kap_InMotion(); ++i)
        FakeAdvanceMicros(100000);
    EXPECT_EQ(box->Position(kChannelX), 8000 * 1024);
    EXPECT_EQ(box->Position(kChannelY), 4000 * 1024);
    int32_t x = 0, y = 0;
    EXPECT_EQ(Kap_GetRtPos(&x, &y, nullptr), 0);
    EXPECT_EQ(x, 10000);
    EXPECT_EQ(y, 5000);
    EXPECT_EQ(box->Drawn().size(), 1u);  // initialisation leaves the pen wanted down
}

TEST_F(SimOnFakeLine, ProbeStopAndInitialisationWorkDuringAMove)
{
    Box* box = AttachSimBox();
    ASSERT_EQ(NirekInstall(3), 0);
    NirekSetWaitMode(0);
    ASSERT_EQ(NirekXrel(40000 * 1024), 0);  // 10 s at 4000 steps/s
    ASSERT_EQ(NirekWaitHalt(), 0);          // its acknowledgement comes at the halt
    FakeAdvanceMicros(500000);
    EXPECT_EQ(NirekGetBoxState(), 0);
    EXPECT_EQ(Kap_InitOnCom(3), 0);
    SimBoxCatchUp();
    EXPECT_TRUE(box->Busy());
    EXPECT_EQ(NirekEstop(), 0);
    SimBoxCatchUp();
    EXPECT_FALSE(box->Busy());
    EXPECT_EQ(box->Counters().emergencyStops, 1u);
}

TEST_F(SimOnFakeLine, InitialisationMeetsEachBoxState)
{
    struct Case {
        const char* name;
        bool atPrompt, stuck, silent;
        int32_t result;
    };
    const Case cases[] = {
        {"runs the protocol", false, false, false, 0},
        {"at its prompt", true, false, false, 0},
        {"stuck at its prompt", true, true, false, ZRQ_CANT_SYNC},
        {"silent", false, false, true, ZRQ_NOT_RESPONDING},
    };
    for (const Case& c : cases) {
        ResetLibraryState();
        BoxConfig config;
        config.faults.atPrompt = c.atPrompt;
        config.faults.stuckAtPrompt = c.stuck;
        config.faults.silent = c.silent;
        Box* box = AttachSimBox(config);
        EXPECT_EQ(Kap_InitOnCom(3), c.result) << c.name;
        EXPECT_EQ(box->Counters().promptsShown, c.atPrompt ? 1u : 0u) << c.name;
    }
}

}  // namespace

#endif
