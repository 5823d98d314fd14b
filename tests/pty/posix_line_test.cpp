// The real POSIX backend over a pseudo-terminal pair: the test plays the box
// on the master side.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zrqapi.h"

namespace {

double CpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A box on the master side: acknowledges 'p' frames and echoes sync pairs.
class PtyBox {
public:
    bool Open()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        slave_ = ptsname(master_);
        return true;
    }
    const std::string& SlavePath() const { return slave_; }

    void Start()
    {
        running_ = true;
        thread_ = std::thread([this] { Serve(); });
    }
    void Stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    void CloseMaster()
    {
        Stop();
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }
    ~PtyBox() { CloseMaster(); }

    std::vector<uint8_t> Received()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::atomic<bool> acknowledge {true};

private:
    void Serve()
    {
        int frameLeft = 0;
        bool sequenceNext = false;
        while (running_) {
            struct pollfd pfd = {master_, POLLIN, 0};
            if (poll(&pfd, 1, 20) != 1 || (pfd.revents & POLLIN) == 0)
                continue;
            uint8_t bytes[64];
            ssize_t n = read(master_, bytes, sizeof bytes);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t b = bytes[i];
                received_.push_back(b);
                uint8_t reply = 0;
                bool send = false;
                if (frameLeft > 0) {
                    send = --frameLeft == 0 && acknowledge;
                    reply = 0x02;
                } else if (sequenceNext) {
                    sequenceNext = false;
                    send = true;
                    reply = static_cast<uint8_t>(b + 1);
                } else if (b == 'i' || b == 'N') {
                    sequenceNext = true;
                } else if (b == 'p') {
                    frameLeft = 6;
                }
                if (send)
                    (void)!write(master_, &reply, 1);
            }
        }
    }

    int master_ = -1;
    std::string slave_;
    std::thread thread_;
    std::atomic<bool> running_ {false};
    std::mutex mutex_;
    std::vector<uint8_t> received_;
};

class PosixLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zrq-root-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(mkdir((root_ + "/dev").c_str(), 0755), 0);
        setenv("ZRQAPI_ROOT", root_.c_str(), 1);
        if (!box_.Open())
            GTEST_SKIP() << "no pseudo-terminal can be had here";
        Link(1, box_.SlavePath());
    }
    void TearDown() override
    {
        NirekRemove();
        box_.CloseMaster();
        std::string command = "rm -rf '" + root_ + "'";
        (void)!system(command.c_str());
    }
    void Link(int port, const std::string& target)
    {
        std::string link = root_ + "/dev/com" + std::to_string(port);
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    }

    std::string root_;
    PtyBox box_;
};

TEST_F(PosixLine, InstallConfiguresARawLineAt38400)
{
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(NirekIsInstalled(), 1);
    int fd = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(PosixLine, FramesArriveIntactAndAcknowledgementsAreRead)
{
    box_.Start();
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(NirekSync(0), 0);
    EXPECT_EQ(NirekParam(34, 257), 0);
    EXPECT_EQ(NirekParam(12, -1), 0);
    NirekSetWaitMode(0);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(NirekParam(i, i * 1000), 0);
    NirekSetWaitMode(1);
    EXPECT_EQ(NirekParam(1, 1), 0);
    box_.Stop();
    std::vector<uint8_t> got = box_.Received();
    ASSERT_GE(got.size(), 18u + 7u * 53u);
    std::vector<uint8_t> frames(got.begin() + 18, got.end());
    const std::vector<uint8_t> first
        = {0x70, 0x00, 0x22, 0x00, 0x00, 0x01, 0x01, 0x70, 0x00, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::vector<uint8_t>(frames.begin(), frames.begin() + 14), first);
    EXPECT_EQ(frames.size(), 7u * 53u);  // nothing lost, nothing resent
}

TEST_F(PosixLine, SecondOpenerIsRefusedEvenInTheSameProcess)
{
    int holder = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(NirekInstall(1), 1);
    EXPECT_EQ(NirekIsInstalled(), 0);
    close(holder);
    ASSERT_EQ(NirekInstall(1), 0);
    // Now the library holds it.
    int other = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    NirekRemove();
    other = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // released on close
    close(other);
}

TEST_F(PosixLine, BadDevicesAreRefused)
{
    Link(2, "/dev/null");                // not a tty
    Link(3, root_ + "/no-such-device");  // dangling: falls back to an on-board port
    EXPECT_EQ(NirekInstall(2), 1);
    EXPECT_EQ(NirekIsInstalled(), 0);
    EXPECT_EQ(NirekInstall(0), 1);
    EXPECT_EQ(NirekInstall(9), 1);
}

TEST_F(PosixLine, BoxThatGoesAwayGivesTimeoutsWithoutHangingOrSpinning)
{
    box_.Start();
    ASSERT_EQ(NirekInstall(1), 0);
    ASSERT_EQ(NirekParam(1, 1), 0);
    box_.CloseMaster();
    NirekSetTimeout(5);
    double wallStart = Now();
    double cpuStart = CpuSeconds();
    EXPECT_EQ(NirekParam(2, 2), ZRQ_ACK_TIMEOUT);
    double wall = Now() - wallStart;
    double cpu = CpuSeconds() - cpuStart;
    // Half a second of acknowledgement wait, then 32 failed sync attempts.
    EXPECT_GT(wall, 0.4);
    EXPECT_LT(wall, 2 * (0.5 + 6.5));
    // The dead line polls POLLHUP for ever; the waits must sleep, not spin.
    EXPECT_LT(cpu, 0.5 * wall);
}

TEST_F(PosixLine, WaitingForAnAcknowledgementSleepsInTheKernel)
{
    box_.acknowledge = false;
    box_.Start();
    ASSERT_EQ(NirekInstall(1), 0);
    NirekSetTimeout(10);
    double wallStart = Now();
    double cpuStart = CpuSeconds();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    double wall = Now() - wallStart;
    double cpu = CpuSeconds() - cpuStart;
    EXPECT_GT(wall, 0.9);
    EXPECT_LT(wall, 2 * 1.0 + 1.0);  // the sync is answered at once
    EXPECT_LT(cpu, 0.5 * wall);
}

}  // namespace
