// Frames, acknowledgements in wait and lazy mode, resynchronisation and the
// settings exports, on the fake line with virtual time.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "serial/timing.h"
#include "support/line_double.h"
#include "support/reset.h"

namespace {

const char kSyncLead[] = "7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F";

class Framing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        AttachLineDouble(&line);
        ASSERT_EQ(NirekInstall(1), 0);
    }
    void TearDown() override { NirekRemove(); }

    double SecondsSince(uint64_t startMicros) const
    {
        return static_cast<double>(FakeClockMicros() - startMicros) / 1e6;
    }

    LineDouble line;
};

TEST_F(Framing, ParamFramesCarryNumberAndValueBigEndian)
{
    const struct {
        int32_t number, value;
        const char* frame;
    } cases[] = {
        {34, 257, "70 00 22 00 00 01 01"},
        {12, -1, "70 00 0C FF FF FF FF"},
        {0x12345, 5, "70 23 45 00 00 00 05"},  // only the low 16 bits of the number
        {1, 0x7FFFFFFF, "70 00 01 7F FF FF FF"},
        {-1, INT32_MIN, "70 FF FF 80 00 00 00"},
    };
    for (const auto& c : cases) {
        FakeClearSent();
        EXPECT_EQ(NirekParam(c.number, c.value), 0);
        EXPECT_EQ(FakeSentHex(), c.frame) << c.number << ", " << c.value;
        EXPECT_EQ(g_protocol.ackPending, 0);
    }
}

TEST_F(Framing, WaitModeTimeoutTracesResyncsAndReturns256)
{
    line.dropAcks = 1;
    NirekSetDebugMask(2);
    uint64_t start = FakeClockMicros();
    testing::internal::CaptureStdout();
    int32_t result = NirekParam(1, 2);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, ZRQ_ACK_TIMEOUT);
    EXPECT_EQ(trace, " Timeout  sync() ");
    // 60 s of waiting cost no real time, and no more than the time-out virtually.
    EXPECT_GE(SecondsSince(start), 60.0);
    EXPECT_LT(SecondsSince(start), 60.1);
    EXPECT_EQ(FakeSentHex(), std::string("70 00 01 00 00 00 02 ") + kSyncLead + " 69 A0");
    EXPECT_EQ(g_protocol.ackPending, 0);
}

TEST_F(Framing, LazyModeReadsTheAcknowledgementBeforeTheNextFrame)
{
    NirekSetWaitMode(0);
    line.ackDelayMicros = 30000;
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekParam(1, 1), 0);
    EXPECT_EQ(g_protocol.ackPending, 1);
    EXPECT_LT(SecondsSince(start), 0.001);  // returned without waiting
    EXPECT_EQ(NirekParam(2, 2), 0);
    ASSERT_EQ(line.frameTimes.size(), 2u);
    // The second frame left only after the first acknowledgement had come.
    EXPECT_GE(line.frameTimes[1] - line.frameTimes[0], 30000u);
    EXPECT_EQ(FakeSentHex(), "70 00 01 00 00 00 01 70 00 02 00 00 00 02");
}

TEST_F(Framing, LazyModeLostAcknowledgementResyncsThenSendsTheNextFrame)
{
    NirekSetWaitMode(0);
    line.dropAcks = 1;
    EXPECT_EQ(NirekParam(1, 1), 0);
    uint64_t start = FakeClockMicros();
    // The call that found the acknowledgement missing reports it.
    EXPECT_EQ(NirekParam(2, 2), ZRQ_ACK_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 60.0);
    EXPECT_EQ(FakeSentHex(),
        std::string("70 00 01 00 00 00 01 ") + kSyncLead + " 69 A0 70 00 02 00 00 00 02");
}

TEST_F(Framing, PendingAcknowledgementKeepsTheTimeoutItBeganWith)
{
    NirekSetWaitMode(0);
    line.dropAcks = 1;
    EXPECT_EQ(NirekSetTimeout(20), 600);
    NirekParam(1, 1);
    EXPECT_EQ(NirekSetTimeout(600), 20);
    uint64_t start = FakeClockMicros();
    NirekParam(2, 2);
    EXPECT_GE(SecondsSince(start), 2.0);
    EXPECT_LT(SecondsSince(start), 2.5);  // 2 s, not 60 s
}

TEST_F(Framing, TimeoutZeroOrNegativeIsAnImmediatePoll)
{
    for (int32_t timeout : {0, -5, INT32_MIN}) {
        NirekSetTimeout(timeout);
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT) << timeout;  // the ack comes 100 us later
        // Only the resynchronisation took time (its first echo after ~2 ms).
        EXPECT_LT(SecondsSince(start), 0.01) << timeout;
        FakeQueueRxNow({0x02});
        EXPECT_EQ(NirekParam(1, 1), 0) << timeout;  // an acknowledgement already waiting
        FakeAdvanceMicros(1000);
        while (FakeRxPending())
            ReadReply(0);
    }
}

TEST_F(Framing, HugeTimeoutStaysWithinTheDeadlineSpan)
{
    NirekSetTimeout(INT32_MAX);
    line.dropAcks = 1;
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    // The counter runs at 1 MHz here: the longest wait is 2^31 ticks, ~35.8 minutes.
    EXPECT_GT(SecondsSince(start), 2000.0);
    EXPECT_LT(SecondsSince(start), 2200.0);
}

TEST_F(Framing, AbortKeysEndTheWaitAtOnce)
{
    line.dropAcks = 1;
    FakeHoldKeys(true, true);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    // The acknowledgement wait and all 32 synchronisation attempts end at once;
    // only the drains' 2 ms pauses remain.
    EXPECT_LT(SecondsSince(start), 0.2);
    EXPECT_EQ(line.syncAttempts, 32);
    FakeHoldKeys(true, false);
    EXPECT_EQ(NirekParam(1, 1), 0);
}

TEST_F(Framing, SettersReturnThePreviousValue)
{
    EXPECT_EQ(NirekSetWaitMode(5), 1);
    EXPECT_EQ(g_protocol.waitMode, 1);
    EXPECT_EQ(NirekSetWaitMode(0), 1);
    EXPECT_EQ(NirekSetWaitMode(0), 0);
    EXPECT_EQ(NirekSetDebugMask(7), 0);
    EXPECT_EQ(g_protocol.traceMask, 2);
    EXPECT_EQ(NirekSetDebugMask(1), 2);
    EXPECT_EQ(g_protocol.traceMask, 0);
    EXPECT_EQ(NirekSetTimeout(-3), 600);
    EXPECT_EQ(NirekSetTimeout(600), -3);
}

TEST_F(Framing, SetWaitModeLeavesAPendingAcknowledgementPending)
{
    NirekSetWaitMode(0);
    line.ackDelayMicros = 5000;
    NirekParam(1, 1);
    NirekSetWaitMode(1);
    EXPECT_EQ(g_protocol.ackPending, 1);
    EXPECT_EQ(NirekParam(2, 2), 0);
    EXPECT_EQ(g_protocol.ackPending, 0);
}

struct SyncCase {
    const char* name;
    int32_t flag;
    int echoOffset;
    int answerFromAttempt;
    uint64_t echoDelayMicros;
    int32_t result;
    int attempts;
};

TEST_F(Framing, SyncEchoPatterns)
{
    const SyncCase cases[] = {
        {"echo at once", 0, 1, 1, 100, 0, 1},
        {"letter N", 1, 1, 1, 100, 0, 1},
        {"echoes n itself", 0, 0, 1, 100, 1, 32},
        {"answers from the fifth attempt", 0, 1, 5, 100, 0, 5},
        {"every echo 250 ms late", 0, 1, 1, 250000, 1, 32},
        {"echo 199 ms late", 0, 1, 1, 199000, 0, 1},
    };
    for (const SyncCase& c : cases) {
        line = LineDouble();
        line.echoOffset = c.echoOffset;
        line.answerFromAttempt = c.answerFromAttempt;
        line.echoDelayMicros = c.echoDelayMicros;
        FakeClearSent();
        EXPECT_EQ(NirekSync(c.flag), c.result) << c.name;
        EXPECT_EQ(line.syncAttempts, c.attempts) << c.name;
        const std::vector<uint8_t>& sent = FakeSent();
        ASSERT_EQ(sent.size(), 16u + 2u * c.attempts) << c.name;
        EXPECT_EQ(sent[16], c.flag ? 0x4E : 0x69) << c.name;
        EXPECT_EQ(sent.back(), 0xA0 + c.attempts - 1) << c.name;
        EXPECT_EQ(g_protocol.ackPending, 0) << c.name;
        // Leave nothing for the next case.
        FakeAdvanceMicros(1000000);
        DrainInput();
    }
}

TEST_F(Framing, SyncWireBytesWhenTheBoxEchoesAtOnce)
{
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(FakeSentHex(), std::string(kSyncLead) + " 69 A0");
}

TEST_F(Framing, LateEchoIsDiscardedByTheNextAttemptsDrain)
{
    // The first echo comes 201 ms late: after its own 200 ms wait, but while
    // the next attempt drains the line. Taken as the next proof it would fail it.
    line.firstEchoDelayMicros = 201000;
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(line.syncAttempts, 2);
    EXPECT_EQ(FakeSentHex(), std::string(kSyncLead) + " 69 A0 69 A1");
}

TEST_F(Framing, SyncOnAClosedChannelGivesUpAfterAboutSixAndAHalfSeconds)
{
    NirekRemove();
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekSync(0), 1);
    EXPECT_GT(SecondsSince(start), 6.4);
    EXPECT_LT(SecondsSince(start), 6.8);
}

TEST_F(Framing, InstallLifecycle)
{
    EXPECT_EQ(NirekIsInstalled(), 1);
    EXPECT_EQ(NirekInstall(1), 0);  // the first opening is closed before the second
    EXPECT_EQ(NirekIsInstalled(), 1);
    EXPECT_EQ(NirekRemove(), 0);
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_FALSE(FakePortOpen(1));
    EXPECT_EQ(g_link.portNumber, 1);  // kept across close
    for (int32_t port : {0, 9, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(NirekInstall(port), 1) << port;
        EXPECT_EQ(NirekIsInstalled(), 0) << port;
        EXPECT_EQ(g_link.lastError, -1) << port;
    }
    FakeSetPortExists(3, false);
    EXPECT_EQ(NirekInstall(3), 1);
    EXPECT_EQ(g_link.lastError, kFakeErrorNoDevice);
    FakeSetCounterMissing(true);
    EXPECT_EQ(NirekInstall(1), 1);
    EXPECT_FALSE(FakePortOpen(1));  // no counter: the port is never opened
}

TEST_F(Framing, FailedInstallLeavesTheChannelClosed)
{
    NirekRemove();
    FakeFailConfigure(true);
    EXPECT_EQ(NirekInstall(2), 1);
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_FALSE(FakePortOpen(2));
    EXPECT_EQ(g_link.lastError, kFakeErrorIo);
}

TEST_F(Framing, RemoveTracesEvenWhenClosed)
{
    NirekRemove();
    NirekSetDebugMask(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NirekRemove(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " ComRemove ");
}

TEST_F(Framing, CommandsOnAClosedChannelTimeOutWithoutHanging)
{
    NirekRemove();
    NirekSetTimeout(10);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    // One second of acknowledgement wait, then a failed 6.5 s synchronisation.
    EXPECT_LT(SecondsSince(start), 8.0);
}

TEST_F(Framing, WriteFailureShowsAsAnAcknowledgementTimeout)
{
    NirekSetTimeout(10);
    FakeFailNextWrites(1);
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    EXPECT_EQ(g_link.lastError, kFakeErrorIo);
    EXPECT_EQ(NirekParam(1, 1), 0);  // the link is back in step
}

TEST_F(Framing, DrainStopsAtTheFirstQuietPauseOrAfterFiveHundredPasses)
{
    FakeQueueRxNow(std::vector<uint8_t>(40, 0x55));
    uint64_t start = FakeClockMicros();
    DrainInput();
    EXPECT_EQ(FakeRxPending(), 0u);
    EXPECT_LT(SecondsSince(start), 0.01);
    // A line that never falls quiet: a byte every millisecond for 3 seconds.
    for (int i = 0; i < 3000; ++i)
        FakeQueueRx({0x55}, FakeClockMicros() + 1000u * i);
    start = FakeClockMicros();
    DrainInput();
    EXPECT_GE(SecondsSince(start), 1.0);
    EXPECT_LT(SecondsSince(start), 1.1);
}

TEST(ComChannel, InstallRejectsBadPortNumbersAndKeepsTheRecord)
{
    ResetLibraryState();
    for (int32_t number : {0, 9, -1}) {
        ComPort port;
        ComReset(&port, number);
        port.count = 3;
        port.readPos = 1;
        EXPECT_EQ(ComInstall(&port), 1);
        EXPECT_EQ(port.lastError, -1);
        EXPECT_EQ(port.portHandle, kPlatNoHandle);
        EXPECT_EQ(port.count, 3u);
        EXPECT_EQ(port.readPos, 1u);
    }
}

TEST(ComChannel, HandsOutMoreThanABufferInArrivalOrder)
{
    ResetLibraryState();
    ComPort port;
    ComReset(&port, 4);
    ASSERT_EQ(ComInstall(&port), 0);
    EXPECT_EQ(ComAvail(&port), 0);
    EXPECT_EQ(ComGetByte(&port), 0);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 70; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    FakeQueueRxNow(bytes);
    for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(ComAvail(&port), 1);
        // The buffer is refilled only once every byte of the last read is out.
        int fetched = (i / 32 + 1) * 32;
        EXPECT_EQ(FakeRxPending(), static_cast<size_t>(fetched < 70 ? 70 - fetched : 0));
        EXPECT_EQ(ComGetByte(&port), i);
    }
    EXPECT_EQ(ComAvail(&port), 0);
    // Purge drops what the buffer holds; the next read goes to the device.
    FakeQueueRxNow(bytes);
    ASSERT_EQ(ComAvail(&port), 1);
    ComPurge(&port);
    EXPECT_EQ(ComGetByte(&port), 32);
    ComRemove(&port);
    EXPECT_EQ(port.portNumber, 4);
    EXPECT_EQ(ComIsInstalled(&port), 0);
    EXPECT_EQ(ComInstall(&port), 0);  // reopens the same port
    EXPECT_TRUE(FakePortOpen(4));
    ComRemove(&port);
}

TEST(ComChannel, SecondOpenerOfTheSamePortIsRefused)
{
    ResetLibraryState();
    ComPort first, second;
    ComReset(&first, 2);
    ComReset(&second, 2);
    ASSERT_EQ(ComInstall(&first), 0);
    EXPECT_EQ(ComInstall(&second), 1);
    EXPECT_EQ(second.lastError, kFakeErrorBusy);
    EXPECT_EQ(ComIsInstalled(&second), 0);
    ComRemove(&first);
    EXPECT_EQ(ComInstall(&second), 0);
    ComRemove(&second);
}

}  // namespace
