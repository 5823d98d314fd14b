// Callers on several threads against the simulated box: each call runs whole
// before the next begins, so no frame or reply is ever split between them.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <thread>

#include "pty_support.h"
#include "zrqapi.h"

namespace {

const uint32_t kXStepInfo = 0x00020005;  // what the box answers for X (channel 3)

TEST(ThreadsOverPty, MovesFromTwoThreadsAllArriveAndQueriesAnswerRight)
{
#ifndef ZRQ_BOXSIM
    GTEST_SKIP() << "zrq-boxsim is not built in this tree";
#endif
    ScratchRoot root("threads");
    ASSERT_TRUE(root.ok());
    root.Use();
    BoxSimProcess sim;
    ASSERT_TRUE(
        sim.StartOn(root, 1, {"--step-info", "0x00100003,0x00080001,0x00040001,0x00020005"}))
        << "zrq-boxsim did not start";
    ASSERT_EQ(NirekInstall(1), 0);
    ASSERT_EQ(NirekSync(0), 0);
    NirekSetTimeout(5);  // a lost acknowledgement costs half a second, not a minute

    const int kMoves = 2000;
    const int kQueries = 1000;
    std::atomic<int> failedCalls {0};
    std::atomic<int> wrongAnswers {0};
    auto move = [&](int32_t (*relative)(int32_t)) {
        for (int i = 0; i < kMoves; ++i)
            if (relative(1) != 0)
                ++failedCalls;
    };
    double start = MonotonicSeconds();
    std::thread x(move, NirekXrel);
    std::thread y(move, NirekYrel);
    std::thread query([&] {
        for (int i = 0; i < kQueries; ++i)
            if (NirekGetInfo(26, 3) != kXStepInfo)
                ++wrongAnswers;
    });
    x.join();
    y.join();
    query.join();
    double elapsed = MonotonicSeconds() - start;

    EXPECT_EQ(NirekWaitHalt(), 0);
    int32_t endX = static_cast<int32_t>(NirekGetInfo(25, 0));
    int32_t endY = static_cast<int32_t>(NirekGetInfo(12, 0));
    printf("two threads, %d X and %d Y moves and %d queries: X %d, Y %d, %d calls failed, "
           "%d wrong answers, %.2f s\n",
        kMoves, kMoves, kQueries, endX, endY, failedCalls.load(), wrongAnswers.load(), elapsed);
    EXPECT_EQ(endX, kMoves);
    EXPECT_EQ(endY, kMoves);
    EXPECT_EQ(failedCalls, 0);
    EXPECT_EQ(wrongAnswers, 0);
    NirekRemove();
}

}  // namespace
