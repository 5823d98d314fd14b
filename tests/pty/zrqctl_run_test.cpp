// A long run file with --wait tells where it is: line, elapsed time and an
// estimate of the time left, as plain lines when the output is a pipe.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "pty_support.h"
#include "zrqctl_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

TEST_F(ZrqctlOnBoxSim, WaitingRunFileReportsLineElapsedAndTimeLeftOnAPipe)
{
    StartBox();
    // Four 0.75 in moves at 30 in/min: 1.5 s each, about 6 s in all.
    std::string job = File("square.zrq",
        "init\nvelocity 30\nmove-xy 0.75in 0\nmove-xy 0.75in 0.75in\nmove-xy 0 0.75in\n"
        "move-xy 0 0\nfinish\n");
    Outcome o = RunZrqctl(root, {"--wait", "run", job});
    EXPECT_EQ(o.status, 0) << o.err;
    std::regex line("  line ([3-6]) of 7, 0:0[0-9] elapsed, about 0:0[0-9] left: moving: X=[0-9.]+ "
                    "Y=[0-9.]+ in, [0-9.]+ to go\n");
    EXPECT_TRUE(std::regex_search(o.out, line)) << o.out;
    EXPECT_EQ(o.out.find('\r'), std::string::npos) << "no terminal, no carriage returns";
}

}  // namespace

#endif
