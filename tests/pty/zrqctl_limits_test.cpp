// Distances and speeds the box cannot take are refused after init, before
// any of them is sent.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "pty_support.h"
#include "zrqctl_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

std::vector<std::string> LogLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

TEST_F(ZrqctlOnBoxSim, OutOfRangeDistanceOrSpeedIsRefusedWithNothingSent)
{
    std::string log = root + "/box.log";
    // 12500e-8 in a step: 8000 steps an inch, at most ±2,097,151 steps.
    StartBox({"--log", log});
    std::string job = File("job.zrq", "init\nvelocity 200\nmove-xy 1in 1in\nmove-xy 300in 0\n");
    const struct {
        std::vector<std::string> args;
        std::string complaint;
    } cases[] = {
        {Words("init move-xy 1in 1in move-xy 300in 0"),
            "zrqctl: move-xy 300in 0: X would need 2,400,000 steps; the box takes at most "
            "±2,097,151 steps, ±262.1439 in on this axis; nothing was sent\n"},
        {Words("--units mm init move-z -7000mm"),
            "zrqctl: move-z -7000mm: Z would need -2,204,724 steps; the box takes at most "
            "±2,097,151 steps, ±6658.45506 mm on this axis; nothing was sent\n"},
        {Words("init jog r jog-pos -263in"), "jog-pos -263in: R would need -2,104,000 steps"},
        {Words("init spacing 3 270in"), "spacing 3 270in: Y would need 2,160,000 steps"},
        {Words("init velocity 100000"),
            "zrqctl: velocity 100000: the speed word would be 13,333,333 but holds at most "
            "65,535; the fastest on this machine is 491 in/min; nothing was sent\n"},
        {Words("init velocity 492"), "the fastest on this machine is 491 in/min"},
        {{"run", job}, job + ":4: move-xy 300in 0: X would need"},
    };
    for (const auto& c : cases) {
        size_t before = LogLines(log).size();
        Outcome o = RunZrqctl(root, c.args);
        EXPECT_EQ(o.status, 64) << o.err;
        EXPECT_NE(o.err.find(c.complaint), std::string::npos) << o.err;
        // The run ends with the step and unit queries that follow init: no
        // move, speed or parameter went out after them.
        std::vector<std::string> lines = LogLines(log);
        ASSERT_GT(lines.size(), before);
        const std::string& last = lines.back();
        EXPECT_TRUE(
            last.find(" S 26 ") != std::string::npos || last.find(" S 27 ") != std::string::npos)
            << "sent after the check: " << last;
    }
    // At the edge: the largest speed and distance are sent.
    Outcome o = Run("--wait init velocity 491 move-z 1in move-z 0 velocity 1");
    EXPECT_EQ(o.status, 0) << o.err;
}

}  // namespace

#endif
