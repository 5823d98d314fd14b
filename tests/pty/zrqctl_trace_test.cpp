// zrqctl --trace-wire: the library's record of the line agrees, byte for
// byte and frame for frame, with what the simulator saw.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "pty_support.h"
#include "zrqctl_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

std::map<std::string, long> ReadStats(const std::string& path)
{
    std::ifstream file(path);
    std::map<std::string, long> stats;
    std::string name;
    long value;
    while (file >> name >> value)
        stats[name] = value;
    return stats;
}

TEST_F(ZrqctlOnBoxSim, WireTraceOfInitHoldsExactlyWhatTheSimulatorSaw)
{
    std::string log = root + "/box.log", stats = root + "/box.stats", trace = root + "/wire.log";
    StartBox({"--log", log, "--stats", stats});
    Outcome o = RunZrqctl(root, {"--trace-wire", trace, "init", "velocity", "200", "finish"});
    ASSERT_EQ(o.status, 0) << o.err;
    StopBox();  // writes the counts

    long written = 0, read = 0;
    std::map<char, long> traceFrames, boxFrames;
    std::ifstream traceFile(trace);
    std::string first;
    for (std::string line; std::getline(traceFile, line);) {
        std::istringstream words(line);
        std::string micros, direction;
        words >> micros >> direction;
        if (first.empty())
            first = line.substr(micros.size() + 1);
        long* total = direction == ">" ? &written : direction == "<" ? &read : nullptr;
        for (std::string word; words >> word;) {
            if (word.size() == 3 && word[0] == '\'')
                ++traceFrames[word[1]];
            else if (total != nullptr)
                ++*total;
        }
    }
    std::ifstream logFile(log);
    for (std::string line; std::getline(logFile, line);) {
        std::istringstream words(line);
        std::string micros, event;
        if (words >> micros >> event && event.size() == 1)
            ++boxFrames[event[0]];
    }
    EXPECT_EQ(first, "open COM2");
    std::map<std::string, long> counts = ReadStats(stats);
    EXPECT_EQ(written, counts["bytes_received"]);
    EXPECT_EQ(read, counts["bytes_sent"]);
    EXPECT_GT(written, 100);
    // Every framed command the box logged is a labelled line of the trace.
    for (char letter : {'p', 'S', 'P', 'U', 's', 'm'}) {
        EXPECT_GT(boxFrames[letter], 0) << letter;
        EXPECT_EQ(traceFrames[letter], boxFrames[letter]) << letter;
    }
}

}  // namespace

#endif

#ifdef ZRQ_ZRQCTL

namespace {

// terminal --hex: keys reach the line as typed, and what the line sends is
// shown in hex, a pause ending the line.
TEST_F(ZrqctlOnSilentLine, HexTerminalShowsReceivedBytesInHex)
{
    ZrqctlProcess ctl;
    ASSERT_TRUE(ctl.Start(root, {"terminal", "1", "--hex"}, true));
    ASSERT_TRUE(ctl.WaitForOutput("Ctrl-A quits", 10000)) << ctl.out << ctl.err;
    ctl.Type("n");
    std::string atBox;
    EXPECT_EQ(ReadUntil(boxMaster, "n", 5000, &atBox), "n");
    const unsigned char reply[] = {0x00, 0x47, 0xff, 0x0a, 0x7f};
    ASSERT_EQ(write(boxMaster, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    EXPECT_TRUE(ctl.WaitForOutput("00 47 ff 0a 7f\n", 10000)) << ctl.out;
    ctl.Type("\x01");  // Ctrl-A
    EXPECT_EQ(ctl.Wait(10000), 0) << ctl.err;
}

}  // namespace

#endif
