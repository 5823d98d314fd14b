// zrq-boxsim as a separate process over a real pseudo-terminal: raw clients
// and the real library talk to it.
#ifdef ZRQ_BOXSIM

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Checks what a well-formed document needs here: one root, every tag closed
// in order, attribute values quoted.
bool WellFormedXml(const std::string& text, std::string* why)
{
    std::vector<std::string> open;
    size_t at = 0;
    bool sawRoot = false;
    while ((at = text.find('<', at)) != std::string::npos) {
        size_t end = text.find('>', at);
        if (end == std::string::npos)
            return *why = "unclosed tag", false;
        std::string tag = text.substr(at + 1, end - at - 1);
        at = end + 1;
        if (tag.empty())
            return *why = "empty tag", false;
        if (tag[0] == '?' || tag[0] == '!')
            continue;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                return *why = "mismatched </" + tag.substr(1) + ">", false;
            open.pop_back();
            continue;
        }
        if (open.empty() && sawRoot)
            return *why = "second root", false;
        sawRoot = true;
        size_t quotes = 0;
        for (char c : tag)
            quotes += c == '"';
        if (quotes % 2 != 0)
            return *why = "unbalanced quotes in <" + tag + ">", false;
        bool selfClosing = tag.back() == '/';
        std::string name = tag.substr(0, tag.find_first_of(" \t\n/"));
        if (!selfClosing)
            open.push_back(name);
    }
    if (!open.empty())
        return *why = "unclosed <" + open.back() + ">", false;
    return sawRoot || (*why = "no root", false);
}

// A raw client on the terminal, as a serial program opens it.
class Client {
public:
    explicit Client(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Client() { Close(); }
    bool IsOpen() const { return fd_ >= 0; }
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void Write(const Bytes& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Reads up to n bytes, waiting at most seconds for them.
    Bytes Read(size_t n, double seconds = 3.0)
    {
        Bytes got;
        double end = MonotonicSeconds() + seconds;
        while (got.size() < n && MonotonicSeconds() < end) {
            pollfd pfd = {fd_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            uint8_t buffer[256];
            ssize_t r = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
            if (r > 0)
                got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }

private:
    int fd_ = -1;
};

Bytes SyncAttempt(uint8_t n)
{
    Bytes b(16, 0x7F);
    b.push_back('i');
    b.push_back(n);
    return b;
}

class BoxSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int probe = posix_openpt(O_RDWR | O_NOCTTY);
        if (probe < 0)
            GTEST_SKIP() << "no pseudo-terminal to be had: " << strerror(errno);
        close(probe);
        ASSERT_TRUE(scratch.ok());
        dir = scratch.path();
    }
    ScratchRoot scratch {"boxsim"};
    std::string dir;
};

TEST_F(BoxSimTest, ClientSynchronisesAndGetsItsParameterAcknowledged)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({}));
    Client client(sim.path());
    ASSERT_TRUE(client.IsOpen()) << sim.path();
    client.Write(SyncAttempt(0xA0));
    EXPECT_EQ(Hex(client.Read(1)), "A1");
    client.Write({'p', 0x00, 0x22, 0x00, 0x00, 0x01, 0x01});
    EXPECT_EQ(Hex(client.Read(1)), "02");
    client.Write({'S', 27, 1, '{', '.', '.', '}'});
    EXPECT_EQ(Hex(client.Read(4)), "00 00 40 00");
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST_F(BoxSimTest, SurvivesGarbageSplitFramesAndAReopenedLine)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({}));
    {
        Client client(sim.path());
        ASSERT_TRUE(client.IsOpen());
        client.Write({0x00, 0xFF, 0x13, '{', 0x80, 'q'});
        // A frame one byte at a time.
        Bytes frame = {'p', 0x00, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF};
        for (uint8_t b : frame) {
            client.Write({b});
            usleep(2000);
        }
        EXPECT_EQ(Hex(client.Read(1)), "02");
        // A truncated frame, then the library's resynchronisation after its time-out.
        client.Write({'K', 0x01, 0x02});
        usleep(200000);
        client.Write(SyncAttempt(0xA5));
        EXPECT_EQ(Hex(client.Read(1)), "A6");
    }
    Client again(sim.path());
    ASSERT_TRUE(again.IsOpen());
    again.Write(SyncAttempt(0xB0));
    EXPECT_EQ(Hex(again.Read(1)), "B1");
    EXPECT_EQ(sim.Stop(SIGINT), 0);
}

TEST_F(BoxSimTest, RepliesTakeTheirWireTimeAtTheBaudRate)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--baud", "9600"}));  // 1041 us a byte
    Client client(sim.path());
    Bytes attempts(16, 0x7F);
    for (int n = 160; n < 160 + 20; ++n) {
        attempts.push_back('N');
        attempts.push_back(static_cast<uint8_t>(n));
    }
    double start = MonotonicSeconds();
    client.Write(attempts);
    Bytes echoes = client.Read(20);
    double elapsed = MonotonicSeconds() - start;
    ASSERT_EQ(echoes.size(), 20u);
    EXPECT_EQ(echoes.front(), 0xA1);
    EXPECT_EQ(echoes.back(), 0xB4);
    EXPECT_GE(elapsed, 20 * 0.00104 * 0.95);
}

TEST_F(BoxSimTest, PacedInputTakesItsWireTimeAndStatsCountTheLine)
{
    std::string stats = dir + "/stats";
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--baud", "9600", "--pace-input", "--stats", stats}));
    Client client(sim.path());
    // Ten frames in one write: 70 bytes in, 10 acknowledgements out, 80
    // byte times of 1041 us when the box's input is paced as well.
    Bytes frames;
    for (int i = 0; i < 10; ++i)
        frames.insert(frames.end(), {'p', 0x00, 0x22, 0x00, 0x00, 0x01, 0x01});
    double start = MonotonicSeconds();
    client.Write(frames);
    Bytes acks = client.Read(10);
    double elapsed = MonotonicSeconds() - start;
    ASSERT_EQ(acks.size(), 10u);
    // Input and acknowledgements overlap but the last ack needs 71 byte times.
    EXPECT_GE(elapsed, 71 * 0.00104 * 0.95);
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    std::string text = ReadFile(stats);
    EXPECT_NE(text.find("bytes_received 70\n"), std::string::npos) << text;
    EXPECT_NE(text.find("bytes_sent 10\n"), std::string::npos) << text;
    EXPECT_NE(text.find("frames 10\n"), std::string::npos) << text;
}

TEST_F(BoxSimTest, IdleExitWritesRecordsAndRemovesTheLink)
{
    std::string link = dir + "/dev/com3";
    std::string svg = dir + "/path.svg";
    std::string log = dir + "/box.log";
    BoxSimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--link", link, "--svg", svg, "--log", log, "--exit-after-idle", "0.5"}));
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.path());
    {
        Client client(link);
        ASSERT_TRUE(client.IsOpen());
        // Pen down, a square of 1000 steps, in absolute moves.
        client.Write({'D'});
        const int32_t corners[][2] = {{1000, 0}, {1000, 1000}, {0, 1000}, {0, 0}};
        for (const auto& c : corners) {
            Bytes frame = {'a'};
            for (int32_t v : {c[0] * 1024, c[1] * 1024})
                for (int shift = 24; shift >= 0; shift -= 8)
                    frame.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> shift));
            client.Write(frame);
        }
        EXPECT_EQ(client.Read(5).size(), 5u);
    }
    EXPECT_EQ(sim.Wait(10.0), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
    std::string text = ReadFile(svg);
    std::string why;
    EXPECT_TRUE(WellFormedXml(text, &why)) << why << "\n" << text;
    EXPECT_NE(text.find("M0.000 0.000 L1000.000 0.000 L1000.000 -1000.000"), std::string::npos)
        << text;
    std::string logText = ReadFile(log);
    EXPECT_NE(logText.find(" a 1024000 1024000\n"), std::string::npos) << logText;
}

TEST_F(BoxSimTest, SignalAlsoWritesTheSvgOfAnEmptyRun)
{
    std::string svg = dir + "/empty.svg";
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--svg", svg}));
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    std::string why;
    EXPECT_TRUE(WellFormedXml(ReadFile(svg), &why)) << why;
}

TEST_F(BoxSimTest, FaultOptionsShowOnTheLine)
{
    struct Case {
        std::vector<std::string> options;
        Bytes sent;
        const char* replies;  // what arrives within 0.3 s
    };
    const Case cases[] = {
        {{"--silent"}, SyncAttempt(0xA0), ""},
        {{"--echo-n"}, SyncAttempt(0xA0), "A0"},
        {{"--drop-ack", "1"}, {'U', 'D'}, "02"},
        {{"--ramp-fails"}, {'p', 0, 1, 0, 0, 0, 0}, "03"},
        {{"--homing-fails"}, {'W', 0xFF}, "03"},
        {{"--no-report"}, {'S', 26, 3, '{', '.', '.', '}'}, "00 00 00 00"},
        {{"--step-info", "0x00640019"}, {'S', 26, 0, '{', '.', '.', '}'}, "00 64 00 19"},
        {{"--id", "AB"}, {'S', 8, 0, '{', '.', '.', '}'}, "20 20 42 41"},
        {{"--stuck-at-prompt"}, SyncAttempt(0xA0), ""},
    };
    for (const Case& c : cases) {
        BoxSimProcess sim;
        ASSERT_TRUE(sim.Start(c.options)) << c.options[0];
        Client client(sim.path());
        client.Write(c.sent);
        EXPECT_EQ(Hex(client.Read(8, 0.3)), c.replies) << c.options[0];
    }
}

TEST_F(BoxSimTest, DelayedAcknowledgementArrivesLate)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--ack-delay", "300"}));
    Client client(sim.path());
    double start = MonotonicSeconds();
    client.Write({'U'});
    EXPECT_EQ(Hex(client.Read(1)), "02");
    EXPECT_GE(MonotonicSeconds() - start, 0.29);
}

TEST_F(BoxSimTest, PromptAnswersSlashWithTextEndingInThePrompt)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--prompt"}));
    Client client(sim.path());
    client.Write({'\r', '/', '\r'});
    Bytes text = client.Read(100, 1.0);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(Hex(Bytes(text.end() - 2, text.end())), "3E 20");
    client.Write(SyncAttempt(0xA0));
    EXPECT_EQ(Hex(client.Read(1)), "A1");
}

TEST_F(BoxSimTest, UsageErrorsAndHelp)
{
    BoxSimProcess help;
    EXPECT_FALSE(help.Start({"--help"}));  // prints usage, no terminal path line first
    EXPECT_EQ(help.Wait(5.0), 0);
    BoxSimProcess bad;
    EXPECT_FALSE(bad.Start({"--drop-ack-prob", "2"}));
    EXPECT_EQ(bad.Wait(5.0), 2);
}

// The real library over the simulator, through the COM-port link.
TEST_F(BoxSimTest, LibraryInstallsSynchronisesAndReadsTheBox)
{
    BoxSimProcess sim;
    ASSERT_TRUE(sim.Start({"--link", dir + "/dev/com3", "--id", "SIM42"}));
    setenv("ZRQAPI_ROOT", dir.c_str(), 1);
    ASSERT_EQ(NirekInstall(3), 0);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(NirekParam(34, 257), 0);
    EXPECT_EQ(NirekGetInfo(27, 1), 16384u);
    EXPECT_EQ(NirekGetInfo(26, 3), 0x00080001u);
    EXPECT_EQ(NirekXYabs(4000 * 1024, -1024), 0);
    // 4000 steps at 4000 steps/s: busy for a second, long enough to be seen
    // even when this process is descheduled on a loaded machine.
    EXPECT_EQ(NirekGetState(), 1);
    double until = MonotonicSeconds() + 10.0;
    while (NirekGetState() == 1 && MonotonicSeconds() < until)
        usleep(20000);
    EXPECT_EQ(NirekGetState(), 0);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(25, 0)), 4000 * 1024);
    EXPECT_EQ(static_cast<int32_t>(NirekGetInfo(12, 0)), -1024);
    char id[13];
    EXPECT_EQ(NirekGetSavedID(id), 0);
    EXPECT_STREQ(id, "SIM42");
    EXPECT_EQ(NirekRemove(), 0);
    unsetenv("ZRQAPI_ROOT");
}

}  // namespace

#endif
