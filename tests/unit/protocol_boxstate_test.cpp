// The start-up probe (protocol box, box at its prompt, dead box) and the
// emergency stop.
#include <gtest/gtest.h>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "support/reset.h"
#include "unit/protocol_box.h"

namespace {

const uint64_t kMilli = 1000;

class ProtocolBoxState : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        FakeClearSent();
    }
};

// Silent to the probe; answers '/' CR with the given text, the bytes spaced apart.
void ShowPromptText(TestBox& box, std::string text, uint64_t spacingMicros = 1000)
{
    box.echoSync = false;
    box.onByte = [text, spacingMicros](TestBox& b, uint8_t byte, uint64_t now) {
        if (byte == 0x0D && b.previous == '/')
            for (size_t i = 0; i < text.size(); ++i)
                b.Say({static_cast<uint8_t>(text[i])}, now + (i + 1) * spacingMicros);
    };
}

const char* const kProbeHex = "7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 7F 47";

TEST_F(ProtocolBoxState, EstopSendsSixteenStopBytesThenASynchronisation)
{
    TestBox box;
    box.Attach();
    EXPECT_EQ(NirekEstop(), 0);
    EXPECT_EQ(FakeSentHex(), RepeatHex("60", 16) + " " + SyncHex());
    EXPECT_EQ(g_protocol.ackPending, 0);
}

TEST_F(ProtocolBoxState, EstopOnADeadLinkStillSendsAndReportsTheFailedSync)
{
    uint64_t start = FakeClockMicros();
    EXPECT_EQ(NirekEstop(), 1);
    uint64_t elapsed = FakeClockMicros() - start;
    EXPECT_EQ(FakeSentHex().substr(0, 47), RepeatHex("60", 16));
    EXPECT_GT(elapsed, 6400 * kMilli);
    EXPECT_LT(elapsed, 6700 * kMilli);
}

TEST_F(ProtocolBoxState, ProtocolBoxAnswersTheProbeAndSynchronisesWithoutABreak)
{
    TestBox box;
    box.onByte = [](TestBox& b, uint8_t byte, uint64_t now) {
        if (byte == 'G')
            b.Reply({0x3F}, now);
    };
    box.Attach();
    EXPECT_EQ(NirekGetBoxState(), 0);
    EXPECT_EQ(FakeSentHex(), std::string(kProbeHex) + " " + SyncHex("4E"));
    EXPECT_EQ(FakeBreaksSent(), 0);
}

TEST_F(ProtocolBoxState, BoxAtItsPromptIsFoundAfterABreak)
{
    TestBox box;
    ShowPromptText(box, "\r\nERR 12\r\nmon> ");
    box.Attach();
    NirekSetDebugMask(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NirekGetBoxState(), 2);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(FakeSentHex(), std::string(kProbeHex) + " 0D 2F 0D");
    EXPECT_EQ(box.breaks, 1);
    // One iKey and one iResponse per byte received, ending on the prompt pair.
    std::string expected = "\nNirekGetBoxState ";
    int32_t previous = 0;
    for (char ch : std::string("\r\nERR 12\r\nmon> ")) {
        int32_t key = static_cast<unsigned char>(ch);
        expected += " iKey=" + std::to_string(key)
            + "  iResponse=" + std::to_string(previous * 256 + key) + " ";
        previous = key;
    }
    EXPECT_EQ(trace, expected);
    EXPECT_NE(trace.find(" iResponse=15904 "), std::string::npos);
}

TEST_F(ProtocolBoxState, PromptMustBeTheTwoBytesBackToBackWithinHundredBytes)
{
    const struct {
        const char* label;
        std::string text;
        uint64_t spacingMicros;
        int32_t state;
    } cases[] = {
        {"bare prompt", "> ", 1000, 2},
        {"prompt after text", "ready\r\n> ", 1000, 2},
        {"prompt ends the 100th byte", std::string(98, 'a') + "> ", 1000, 2},
        {"prompt ends the 101st byte", std::string(99, 'a') + "> ", 1000, 3},
        {"no blank after >", ">\r\n", 1000, 3},
        {"> and blank apart", ">x ", 1000, 3},
        {"blank then >", " >", 1000, 3},
        {"too slow between bytes", "ok> ", 600 * kMilli, 3},
        {"just quick enough", "ok> ", 450 * kMilli, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        TestBox box;
        ShowPromptText(box, c.text, c.spacingMicros);
        box.Attach();
        EXPECT_EQ(NirekGetBoxState(), c.state);
        // Whatever followed was drained, so none of it reaches the next exchange.
        EXPECT_EQ(g_link.readPos, g_link.count);
        FakeDetachPeer();
    }
}

TEST_F(ProtocolBoxState, RestOfThePromptLineIsDrained)
{
    TestBox box;
    ShowPromptText(box, "> and some more text after the prompt\r\n");
    box.Attach();
    EXPECT_EQ(NirekGetBoxState(), 2);
    EXPECT_EQ(box.Pending(), 0u);
    EXPECT_EQ(g_link.readPos, g_link.count);
}

TEST_F(ProtocolBoxState, BoxThatAnswersTheProbeButCannotSyncIsProbedForItsPrompt)
{
    TestBox box;
    box.echoOffset = 0;  // echoes the sequence number itself
    bool promptWatch = false;
    box.onByte = [&promptWatch](TestBox& b, uint8_t byte, uint64_t now) {
        if (byte == 'G' && !promptWatch)
            b.Reply({0x00}, now);
        if (byte == 0x0D && b.previous == '/') {
            promptWatch = true;
            b.Reply({'>', ' '}, now);
        }
    };
    box.Attach();
    EXPECT_EQ(NirekGetBoxState(), 2);
    EXPECT_EQ(box.breaks, 1);
    std::string sent = FakeSentHex();
    EXPECT_EQ(sent.substr(sent.size() - 8), "0D 2F 0D");
}

TEST_F(ProtocolBoxState, DeadBoxIsReportedWithinItsBound)
{
    const struct {
        const char* label;
        bool closed;
        bool abortKeys;
        uint64_t minMicros;
        uint64_t maxMicros;
    } cases[] = {
        {"silent line", false, false, 1550 * kMilli, 1700 * kMilli},
        {"closed channel", true, false, 1550 * kMilli, 1700 * kMilli},
        // Only the fixed pauses remain: drains and the break.
        {"abort keys held", false, true, 100 * kMilli, 150 * kMilli},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResetLibraryState();
        ASSERT_EQ(NirekInstall(1), 0);
        if (c.closed)
            NirekRemove();
        FakeHoldKeys(c.abortKeys, c.abortKeys);
        NirekSetDebugMask(2);
        testing::internal::CaptureStdout();
        uint64_t start = FakeClockMicros();
        EXPECT_EQ(NirekGetBoxState(), 3);
        uint64_t elapsed = FakeClockMicros() - start;
        EXPECT_EQ(
            testing::internal::GetCapturedStdout(), "\nNirekGetBoxState  iKey=257  Box is dead  ");
        EXPECT_GE(elapsed, c.minMicros);
        EXPECT_LE(elapsed, c.maxMicros);
    }
}

}  // namespace
