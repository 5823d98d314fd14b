// Information handshake, saved identifier, run state and the status words.
#include <string.h>

#include <memory>

#include <gtest/gtest.h>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "support/sim_peer.h"
#include "unit/protocol_box.h"

namespace {

const uint64_t kSecond = 1000000;
const uint64_t kTenth = 100000;

class ProtocolQueries : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        FakeClearSent();
    }
};

// A box that answers each handshake byte with the next of its scripted bytes;
// -1 leaves that handshake byte unanswered.
void AnswerHandshakes(TestBox& box, std::vector<int> replies)
{
    auto next = std::make_shared<size_t>(0);
    box.onByte = [replies, next](TestBox& b, uint8_t byte, uint64_t now) {
        bool handshake = byte == '{' || byte == '.' || byte == '}';
        if (!handshake || *next >= replies.size())
            return;
        int value = replies[(*next)++];
        if (value >= 0)
            b.Reply({static_cast<uint8_t>(value)}, now);
    };
}

TEST_F(ProtocolQueries, InfoValueIsAssembledBigEndianFromFourHandshakeReplies)
{
    const struct {
        int32_t selector;
        int32_t index;
        std::vector<int> replies;
        uint32_t value;
        const char* sent;
    } cases[] = {
        {27, 3, {0x00, 0x01, 0x86, 0xA0}, 100000u, "53 1B 03 7B 2E 2E 7D"},
        {2, 0, {0xFF, 0xFF, 0xFF, 0xFE}, 4294967294u, "53 02 00 7B 2E 2E 7D"},
        {0x119, 0x1FF, {0x80, 0x00, 0x00, 0x01}, 0x80000001u, "53 19 FF 7B 2E 2E 7D"},
        // A byte that does not come counts as 0 and the handshake goes on.
        {8, 0, {0x12, -1, 0x34, 0x56}, 0x12003456u, "53 08 00 7B 2E 2E 7D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        TestBox box;
        AnswerHandshakes(box, c.replies);
        box.Attach();
        EXPECT_EQ(NirekGetInfo(c.selector, c.index), c.value);
        EXPECT_EQ(FakeSentHex(), c.sent);
        EXPECT_EQ(g_protocol.protocolTimeout, 600);
        EXPECT_EQ(g_protocol.ackPending, 0);
        FakeDetachPeer();
    }
}

TEST_F(ProtocolQueries, GarbledHandshakeIsForgottenAfterTheNextSynchronisation)
{
    TestBox box;
    bool late = true;
    // The first handshake's second reply comes too late and shifts the rest.
    box.onByte = [&late](TestBox& b, uint8_t byte, uint64_t now) {
        if (byte == '{')
            b.Reply({0x00}, now);
        if (byte == '.' && b.previous == '{')
            b.Reply({0x11}, now + (late ? 150000 : 0));
        if (byte == '.' && b.previous == '.')
            b.Reply({0x22}, now);
        if (byte == '}') {
            b.Reply({0x33}, now);
            late = false;
        }
    };
    box.Attach();
    EXPECT_NE(NirekGetInfo(25, 0), 0x00112233u);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(NirekGetInfo(25, 0), 0x00112233u);
}

TEST_F(ProtocolQueries, SilentBoxGivesZeroAfterTheFullTimeoutPlusThreeShortWaits)
{
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekGetInfo(27, 3), 0u);
    uint64_t elapsed = FakeClockMicros() - start;
    EXPECT_GE(elapsed, 60 * kSecond + 3 * kTenth);
    EXPECT_LT(elapsed, 60 * kSecond + 4 * kTenth);
    EXPECT_EQ(FakeSentHex(), "53 1B 03 7B 2E 2E 7D");
    EXPECT_EQ(g_protocol.protocolTimeout, 600);

    // The first reply waits for the time-out current at the call.
    NirekSetTimeout(20);
    start = FakeClockMicros();
    EXPECT_EQ(NirekGetInfo(27, 3), 0u);
    elapsed = FakeClockMicros() - start;
    EXPECT_GE(elapsed, 2 * kSecond + 3 * kTenth);
    EXPECT_LT(elapsed, 2 * kSecond + 4 * kTenth);
    EXPECT_EQ(g_protocol.protocolTimeout, 20);
}

TEST_F(ProtocolQueries, PendingAcknowledgementIsReadBeforeTheQueryAndNeverTakenAsItsValue)
{
    NirekSetWaitMode(0);
    TestBox box;
    AnswerHandshakes(box, {0x01, 0x02, 0x03, 0x04});
    box.Attach();
    EXPECT_EQ(NirekSpeed(5), 0);
    box.Reply({0x06}, FakeClockMicros());  // the speed command's acknowledgement
    EXPECT_EQ(NirekGetInfo(25, 0), 0x01020304u);
    EXPECT_EQ(FakeSentHex(), "73 00 05 53 19 00 7B 2E 2E 7D");
    EXPECT_EQ(g_protocol.ackPending, 0);
}

TEST_F(ProtocolQueries, SavedIdReversesEachGroupAndTrimsOnlyTrailingBlanks)
{
    // Bytes as the box sends them, four per handshake, most significant first.
    auto arrival = [](const char* text) {
        std::vector<int> replies;
        for (int group = 0; group < 3; ++group)
            for (int i = 3; i >= 0; --i)
                replies.push_back(static_cast<unsigned char>(text[group * 4 + i]));
        return replies;
    };
    const struct {
        const char* label;
        std::vector<int> replies;
        std::string expected;  // all 13 bytes
    } cases[] = {
        {"full", arrival("QV2000-00123"), std::string("QV2000-00123\0", 13)},
        {"trailing blanks", arrival("AB CD       "), std::string("AB CD\0\0\0\0\0\0\0\0", 13)},
        {"inner blanks", arrival("A B    C    "), std::string("A B    C\0\0\0\0\0", 13)},
        {"all blanks", arrival("            "), std::string(13, '\0')},
        {"arrival order", {'Z', 'Y', 'X', 'W', 'D', 'C', 'B', 'A', ' ', ' ', ' ', '1'},
            std::string("WXYZABCD1\0\0\0\0", 13)},
        // The last byte of the second handshake (its first character) timed out.
        {"lost byte", {'D', 'C', 'B', 'A', 'H', 'G', 'F', -1, 'L', 'K', 'J', 'I'},
            std::string("ABCD\0FGHIJKL\0", 13)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        TestBox box;
        AnswerHandshakes(box, c.replies);
        box.Attach();
        char text[16];
        memset(text, 0x55, sizeof text);
        EXPECT_EQ(NirekGetSavedID(text), 0);
        EXPECT_EQ(std::string(text, 13), c.expected);
        EXPECT_EQ(text[13], 0x55);  // nothing beyond the 13 bytes
        EXPECT_EQ(FakeSentHex(), "53 08 00 7B 2E 2E 7D 53 0C 00 7B 2E 2E 7D 53 0D 00 7B 2E 2E 7D");
        FakeDetachPeer();
    }
}

TEST_F(ProtocolQueries, SavedIdIntoNullBufferStillQueriesAndWritesNothing)
{
    TestBox box;
    AnswerHandshakes(box, {'D', 'C', 'B', 'A', 'H', 'G', 'F', 'E', 'L', 'K', 'J', 'I'});
    box.Attach();
    EXPECT_EQ(NirekGetSavedID(nullptr), 0);
    EXPECT_EQ(FakeSentHex(), "53 08 00 7B 2E 2E 7D 53 0C 00 7B 2E 2E 7D 53 0D 00 7B 2E 2E 7D");
    EXPECT_EQ(box.Pending(), 0u);
}

TEST_F(ProtocolQueries, RunStateInWaitModeAsksAndReadsBit2)
{
    const struct {
        int reply;  // -1: no reply
        int32_t busy;
    } cases[] = {{0x02, 0}, {0xFF, 0}, {0x00, 1}, {0xFD, 1}, {-1, ZRQ_ACK_TIMEOUT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        if (c.reply >= 0)
            FakeQueueRx({static_cast<uint8_t>(c.reply)}, FakeClockMicros() + kTenth);
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(NirekGetState(), c.busy);
        EXPECT_EQ(FakeSentHex(), "6E");
        uint64_t elapsed = FakeClockMicros() - start;
        if (c.reply < 0) {
            EXPECT_GE(elapsed, 60 * kSecond);
            EXPECT_LT(elapsed, 61 * kSecond);
        } else {
            EXPECT_LT(elapsed, 2 * kTenth);
        }
    }
}

TEST_F(ProtocolQueries, RunStateInLazyModeUsesTheOutstandingAcknowledgement)
{
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekXYrel(1, 1), 0);
    FakeClearSent();
    // Not arrived yet: busy, nothing written, still pending.
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekGetState(), 1);
    EXPECT_LT(FakeClockMicros() - start, kTenth);
    EXPECT_EQ(FakeSentHex(), "");
    EXPECT_EQ(g_protocol.ackPending, 1);
    // Arrived: it serves as the status byte and counts as collected.
    FakeQueueRxNow({0x02});
    EXPECT_EQ(NirekGetState(), 0);
    EXPECT_EQ(FakeSentHex(), "");
    EXPECT_EQ(g_protocol.ackPending, 0);
    // The next command does not wait for it again.
    start = FakeClockMicros();
    EXPECT_EQ(NirekSpeed(1), 0);
    EXPECT_LT(FakeClockMicros() - start, kTenth);
    EXPECT_EQ(FakeSentHex(), "73 00 01");
}

TEST_F(ProtocolQueries, StatusCommandsWriteTheirFramesAndFillTheirOwnWord)
{
    const struct {
        const char* call;
        int32_t (*run)();
        const char* frame;
        uint8_t ack;
        int32_t homeStatus;
        int32_t rampStatus;
        int32_t homed;
        int32_t rampsWorked;
    } cases[] = {
        {"NirekHome(-1)", [] { return NirekHome(-1); }, "57 FF", 0x00, 0x00, 0, 1, 1},
        {"NirekHome(0x102) odd ack", [] { return NirekHome(0x102); }, "57 02", 0x01, 0x01, 0, 0, 1},
        {"NirekHome1", [] { return NirekHome1(1, 5, 100, -100); },
            "68 01 01 00 00 00 64 FF FF FF 9C", 0x02, 0x02, 0, 1, 1},
        {"NirekHome1 flag 0", [] { return NirekHome1(0x1FE, 0, -1, 1); },
            "68 FE 00 FF FF FF FF 00 00 00 01", 0xFF, 0xFF, 0, 0, 1},
        {"NirekMakeRamps", [] { return NirekMakeRamps(); }, "70 00 01 00 00 00 00", 0x03, 0, 0x03,
            1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        FakeQueueRxNow({c.ack});
        EXPECT_EQ(c.run(), 0);
        EXPECT_EQ(FakeSentHex(), c.frame);
        EXPECT_EQ(g_protocol.homeStatus, c.homeStatus);
        EXPECT_EQ(g_protocol.rampStatus, c.rampStatus);
        EXPECT_EQ(g_protocol.resultSlot, nullptr);
        EXPECT_EQ(NirekHomed(), c.homed);
        EXPECT_EQ(NirekMakeRampsWorked(), c.rampsWorked);
        EXPECT_EQ(FakeSentHex(), c.frame);  // the readers did no I/O
    }
}

TEST_F(ProtocolQueries, ReadersSucceedBeforeAnyStatusCommand)
{
    EXPECT_EQ(NirekHomed(), 1);
    EXPECT_EQ(NirekMakeRampsWorked(), 1);
    EXPECT_EQ(FakeSentHex(), "");
}

TEST_F(ProtocolQueries, PreviousAcknowledgementNeverLandsInTheStatusWord)
{
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekSpeed(1), 0);
    FakeQueueRxNow({0x01});  // the speed command's acknowledgement: bit 0 set
    EXPECT_EQ(NirekHome(0), 0);
    EXPECT_EQ(g_protocol.homeStatus, -1);
    FakeQueueRx({0x00}, FakeClockMicros() + 5 * kSecond);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekHomed(), 1);  // waits for the homing acknowledgement
    EXPECT_GE(FakeClockMicros() - start, 5 * kSecond);
    EXPECT_EQ(g_protocol.homeStatus, 0);
    EXPECT_EQ(FakeSentHex(), "73 00 01 57 00");
}

TEST_F(ProtocolQueries, TimedOutHomingLeaves257AndTracesIt)
{
    TestBox box;
    box.Attach();
    NirekSetDebugMask(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NirekHome(-1), ZRQ_ACK_TIMEOUT);
    EXPECT_EQ(g_protocol.homeStatus, NoByte);
    EXPECT_EQ(NirekHomed(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Timeout  sync()  NkGetStatus=0x101 ");
    EXPECT_EQ(FakeSentHex(), "57 FF " + SyncHex());
}

TEST_F(ProtocolQueries, LazyStatusReadThatTimesOutDoesNotResynchronise)
{
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekMakeRamps(), 0);
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekMakeRampsWorked(), 0);
    EXPECT_GE(FakeClockMicros() - start, 60 * kSecond);
    EXPECT_EQ(g_protocol.rampStatus, NoByte);
    EXPECT_EQ(g_protocol.ackPending, 0);
    EXPECT_EQ(FakeSentHex(), "70 00 01 00 00 00 00");
}

TEST_F(ProtocolQueries, LazyHomeWhoseAckServedAsRunStateReadsAsNotHomed)
{
    NirekSetWaitMode(0);
    NirekSetDebugMask(2);
    EXPECT_EQ(NirekHome(-1), 0);
    FakeQueueRxNow({0x02});
    EXPECT_EQ(NirekGetState(), 0);
    testing::internal::CaptureStdout();
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekHomed(), 0);
    EXPECT_LT(FakeClockMicros() - start, kTenth);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " NkGetStatus=0xffffffff ");
    EXPECT_EQ(g_protocol.homeStatus, -1);
    EXPECT_EQ(FakeSentHex(), "57 FF");
}

#ifdef ZRQ_HAVE_SIM
TEST_F(ProtocolQueries, SimulatedBoxIdentityAndLazyHomingReadBack)
{
    BoxConfig config;
    config.identifier = "QV-07  A";
    config.stepInfo[kChannelR] = 0x00040001;
    Box* box = AttachSimBox(config);
    char id[13];
    EXPECT_EQ(NirekGetSavedID(id), 0);
    EXPECT_STREQ(id, "QV-07  A");
    EXPECT_EQ(NirekGetInfo(26, kChannelR), 0x00040001u);

    ASSERT_EQ(NirekXYabs(40960, 1024), 0);
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekHome(-1), 0);
    FakeAdvanceMicros(20000);  // the acknowledgement has arrived
    size_t sent = FakeSent().size();
    NirekGetState();  // the acknowledgement serves as the run state: no 'n' is sent
    EXPECT_EQ(FakeSent().size(), sent);
    EXPECT_EQ(box->Counters().runStateQueries, 0u);
    EXPECT_EQ(NirekHomed(), 0);
    EXPECT_EQ(FakeSent().size(), sent);
    EXPECT_EQ(g_protocol.homeStatus, -1);
}
#endif

}  // namespace
