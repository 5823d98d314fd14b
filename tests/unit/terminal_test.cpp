// The dumb terminal on the fake backend: keys out, bytes in, break, quit and
// the failure lines, with the console and the line under test control.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "serial/comport.h"
#include "support/reset.h"
#include "terminal/terminal.h"

namespace {

const char kBanner[] = "\nCtrl-A to quit.\n\n";
const char kClosing[] = "\nEnd DumbTerminal\n\n";

// A far end that plays the box and the operator at once: it echoes what it
// receives, sends a script of bytes, and when it has nothing more to say the
// operator types the keys left in quitKeys (normally Ctrl-A).
struct ScriptedFarEnd {
    bool echo = false;
    std::vector<uint8_t> toSend;
    std::string quitKeys = "\x01";
    uint64_t quitAtMicros = 0;  // 0: as soon as the line falls silent
    int reads = 0;
    std::vector<uint8_t> received;

    static void Receive(void* context, const uint8_t* bytes, uint32_t n, uint64_t)
    {
        ScriptedFarEnd* self = static_cast<ScriptedFarEnd*>(context);
        self->received.insert(self->received.end(), bytes, bytes + n);
        if (self->echo)
            self->toSend.insert(self->toSend.end(), bytes, bytes + n);
    }
    static uint32_t Transmit(void* context, uint64_t now, uint8_t* out, uint32_t max)
    {
        ScriptedFarEnd* self = static_cast<ScriptedFarEnd*>(context);
        ++self->reads;
        uint32_t n = 0;
        while (n < max && !self->toSend.empty()) {
            out[n++] = self->toSend.front();
            self->toSend.erase(self->toSend.begin());
        }
        if (n == 0 && !self->quitKeys.empty() && now >= self->quitAtMicros) {
            FakeConsoleType(self->quitKeys);
            self->quitKeys.clear();
        }
        return n;
    }
    void Attach()
    {
        FakePeer peer;
        peer.context = this;
        peer.receive = Receive;
        peer.transmit = Transmit;
        FakeAttachPeer(peer);
    }
};

class Terminal : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }

    // Runs the terminal on port, returning what it printed as lines.
    std::string Run(int32_t port, int32_t* result)
    {
        testing::internal::CaptureStdout();
        *result = Kap_DumbTerminal(port);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Terminal, TypedKeysGoOutAsTheirOwnBytesUntranslated)
{
    const struct {
        std::string keys;
        const char* wire;
    } cases[] = {
        {"AT\r", "41 54 0D"},                               // Enter is 13, no line feed added
        {std::string("\0\x03\x1b\x7f", 4), "00 03 1B 7F"},  // NUL, Ctrl-C, Esc, Del
        {"\xff\x80", "FF 80"},
        {"", ""},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        FakeConsoleType(c.keys + "\x01");
        int32_t result = -2;
        std::string lines = Run(1, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(FakeSentHex(), c.wire) << "keys " << HexBytes({c.keys.begin(), c.keys.end()});
        EXPECT_EQ(FakeBreaksSent(), 0);
        EXPECT_EQ(lines, std::string(kBanner) + kClosing);
        EXPECT_FALSE(FakePortOpen(1)) << "the terminal closes its port";
    }
}

TEST_F(Terminal, CtrlBSendsABreakAndNoByte)
{
    FakeConsoleType("a\x02\x02z\x01");
    uint64_t start = FakeClockMicros();
    int32_t result = -2;
    Run(2, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FakeSentHex(), "61 7A");
    EXPECT_EQ(FakeBreaksSent(), 2);
    // Each break: 50 ms pause, 50 ms held.
    EXPECT_GE(FakeClockMicros() - start, 200000u);
}

TEST_F(Terminal, ReceivedBytesAreShownUntranslatedInArrivalOrder)
{
    ScriptedFarEnd box;
    for (int i = 0; i < 256; ++i)  // more than one receive buffer's worth, every value
        box.toSend.push_back(static_cast<uint8_t>(i));
    box.Attach();
    int32_t result = -2;
    Run(1, &result);
    EXPECT_EQ(result, 0);
    std::string shown = FakeConsoleOutput();
    ASSERT_EQ(shown.size(), 256u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(static_cast<uint8_t>(shown[i]), i) << "byte " << i;
}

TEST_F(Terminal, EchoOfEachKeyIsShownBeforeTheNextKeyIsRead)
{
    ScriptedFarEnd box;
    box.echo = true;
    box.quitKeys.clear();
    box.Attach();
    FakeConsoleType("hi\r\x01");
    int32_t result = -2;
    Run(1, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FakeConsoleOutput(), "hi\r");
    EXPECT_EQ(FakeSentHex(), "68 69 0D");
}

TEST_F(Terminal, CtrlAEndsAtOnceWhileReceivedBytesWait)
{
    FakeQueueRxNow(std::vector<uint8_t>(40, 'x'));
    FakeConsoleType("\x01"
                    "after");
    uint64_t start = FakeClockMicros();
    int32_t result = -2;
    std::string lines = Run(1, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FakeConsoleOutput(), "");
    EXPECT_EQ(FakeSentHex(), "") << "keys after Ctrl-A are not read";
    EXPECT_LT(FakeClockMicros() - start, kTerminalIdleMicros) << "no idle pause with bytes waiting";
    EXPECT_EQ(lines, std::string(kBanner) + kClosing);
}

TEST_F(Terminal, IdlePassesPauseInsteadOfSpinning)
{
    ScriptedFarEnd box;
    uint64_t start = FakeClockMicros();
    box.quitAtMicros = start + 1000000;  // the operator quits after a second of silence
    box.Attach();
    int32_t result = -2;
    Run(1, &result);
    EXPECT_EQ(result, 0);
    uint64_t elapsed = FakeClockMicros() - start;
    EXPECT_GE(elapsed, 1000000u);
    EXPECT_LT(elapsed, 1000000u + 2 * kTerminalIdleMicros);
    // About one pass per 50 ms (each pass polls the line once or twice).
    EXPECT_LE(box.reads, 3 * 1000000 / static_cast<int>(kTerminalIdleMicros));
}

TEST_F(Terminal, FailedOpenPrintsTheReasonAndTheClosingLine)
{
    const struct {
        const char* name;
        int32_t port;
        void (*arrange)();
        const char* reason;
    } cases[] = {
        {"port 0", 0, [] {}, "Port number must be 1 to 8"},
        {"port 9", 9, [] {}, "Port number must be 1 to 8"},
        {"port -1", -1, [] {}, "Port number must be 1 to 8"},
        {"no device", 4, [] { FakeSetPortExists(4, false); },
            "The system cannot find the file specified."},
        {"held by the library", 3, [] { ASSERT_EQ(NirekInstall(3), 0); }, "Access is denied."},
        {"configuration refused", 5, [] { FakeFailConfigure(true); },
            "The request could not be performed because of an I/O device error."},
    };
    for (const auto& c : cases) {
        ResetLibraryState();
        c.arrange();
        FakeConsoleType("typed");
        int32_t result = -2;
        std::string lines = Run(c.port, &result);
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(lines, std::string("\n?ComInstall failed: \n") + c.reason + "\n\n\n" + kClosing)
            << c.name;
        EXPECT_EQ(FakeSentHex(), "") << c.name;
        EXPECT_EQ(FakeConsoleOutput(), "") << c.name;
    }
}

TEST_F(Terminal, LeavesTheLibraryChannelAlone)
{
    ASSERT_EQ(NirekInstall(2), 0);
    FakeConsoleType("k\x01");
    int32_t result = -2;
    Run(1, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(NirekIsInstalled(), 1);
    EXPECT_TRUE(FakePortOpen(2));
    EXPECT_FALSE(FakePortOpen(1));
}

}  // namespace
