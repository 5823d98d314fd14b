// The real POSIX backend over a pseudo-terminal pair: the test plays the box
// on the master side.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_support.h"
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

// The system's text for why the library could not open COMn, as the dumb
// terminal reports it.
std::string OpenFailureText(int port)
{
    testing::internal::CaptureStdout();
    Kap_DumbTerminal(port);
    return testing::internal::GetCapturedStdout();
}

// Fills the line towards the box until it takes no more: with nobody reading
// the master, the next write finds the line stalled.
bool StallLine(int slave)
{
    // Raw, as the library will set it: a cooked line counts its room otherwise.
    // The kernel moves bytes on to the master's reader a little later, which
    // makes room again: the line is full when a pause brings no room.
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0)
        return false;
    std::vector<uint8_t> chunk(4096, 0x55);
    for (int round = 0; round < 1000; ++round) {
        bool tookAny = false;
        while (write(slave, chunk.data(), chunk.size()) > 0)
            tookAny = true;
        if (errno != EAGAIN)
            return false;
        if (!tookAny && round > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The exit status of probe() run in a child process that is not root.
int InChildWithoutPrivilege(int (*probe)(const char*), const char* path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(255);
        _exit(probe(path));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int OpenErrno(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd >= 0 ? 0 : errno;
}

void IgnoreSignal(int) { }

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
    // Opened first: once the library has the line, only root could open it.
    int fd = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(NirekIsInstalled(), 1);
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(
        tio.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
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
    // Now the library holds it: root may still open the tty, but not lock it.
    int other = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0)
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    else
        EXPECT_EQ(errno, EBUSY);
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

TEST_F(PosixLine, AnEntryUnderDevIsThePortEvenWhenItLeadsNowhere)
{
    // An unplugged adapter leaves a dangling link; the on-board port that
    // stands for the same number must not be opened in its place.
    // A regular file there names a network serial server; one without such
    // a URL is refused for that.
    const struct {
        const char* name;
        std::string target;  // empty: a regular file
        std::string says;
    } cases[] = {
        {"dangling link", root_ + "/no-such-adapter", strerror(ENOENT)},
        {"link to a non-terminal", "/dev/null", strerror(ENOTTY)},
        {"regular file", "", "must hold rfc2217://HOST:PORT or tcp://HOST:PORT"},
    };
    for (const auto& c : cases) {
        std::string entry = root_ + "/dev/com1";
        unlink(entry.c_str());
        if (c.target.empty())
            close(open(entry.c_str(), O_WRONLY | O_CREAT, 0600));
        else
            ASSERT_EQ(symlink(c.target.c_str(), entry.c_str()), 0);
        EXPECT_EQ(NirekInstall(1), 1) << c.name;
        EXPECT_EQ(Kap_InitOnCom(1), ZRQ_CANT_OPEN_PORT) << c.name;
        EXPECT_NE(OpenFailureText(1).find(c.says), std::string::npos) << c.name;
    }
}

TEST_F(PosixLine, PathsLongerThanTheSystemTakesFailAndLongOnesThatFitWork)
{
    std::string overlong = "/tmp/" + std::string(5000, 'r');
    setenv("ZRQAPI_ROOT", overlong.c_str(), 1);
    EXPECT_EQ(NirekInstall(1), 1);
    EXPECT_NE(OpenFailureText(1).find(strerror(ENAMETOOLONG)), std::string::npos);
    EXPECT_EQ(Kap_Init(), ZRQ_NO_CONFIG);

    // A root of 1,500 characters: the port and the configuration both open.
    std::string deep = root_;
    while (deep.size() < 1500) {
        deep += "/" + std::string(240, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    ASSERT_EQ(mkdir((deep + "/dev").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((deep + "/qorin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(box_.SlavePath().c_str(), (deep + "/dev/com1").c_str()), 0);
    FILE* config = fopen((deep + "/qorin/qorin.cfg").c_str(), "w");
    ASSERT_NE(config, nullptr);
    fputs("1 COMPORT \n", config);
    fclose(config);
    setenv("ZRQAPI_ROOT", deep.c_str(), 1);
    box_.Start();
    // The test box answers no probe: the port was found, opened and probed.
    EXPECT_EQ(Kap_Init(), ZRQ_NOT_RESPONDING);
}

TEST_F(PosixLine, NoOtherProgramCanOpenTheLineWhileItIsOurs)
{
    const char* path = box_.SlavePath().c_str();
    if (getuid() == 0) {
        ASSERT_EQ(chmod(path, 0666), 0);  // so that the unprivileged child may try
    }
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(InChildWithoutPrivilege(OpenErrno, path), EBUSY);
    NirekRemove();
    EXPECT_EQ(InChildWithoutPrivilege(OpenErrno, path), 0);
    // A caller that exits without closing the port releases it all the same.
    pid_t caller = fork();
    if (caller == 0) {
        if (NirekInstall(1) != 0)
            _exit(1);
        exit(0);
    }
    int status = -1;
    waitpid(caller, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(InChildWithoutPrivilege(OpenErrno, path), 0);
}

TEST_F(PosixLine, CloseGivesTheLineItsOwnSettingsBackAndDropsDtr)
{
    int holder = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    for (bool hangUpOnClose : {true, false}) {
        struct termios before;
        ASSERT_EQ(tcgetattr(holder, &before), 0);
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_iflag |= ICRNL | IXON;
        before.c_oflag |= OPOST;
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        if (hangUpOnClose)
            before.c_cflag |= HUPCL;
        else
            before.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
        ASSERT_EQ(tcsetattr(holder, TCSANOW, &before), 0);
        ASSERT_EQ(tcgetattr(holder, &before), 0);

        ASSERT_EQ(NirekInstall(1), 0);
        NirekRemove();
        struct termios after;
        ASSERT_EQ(tcgetattr(holder, &after), 0);
        EXPECT_EQ(after.c_iflag, before.c_iflag) << hangUpOnClose;
        EXPECT_EQ(after.c_oflag, before.c_oflag) << hangUpOnClose;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << hangUpOnClose;
        EXPECT_EQ(after.c_cflag, before.c_cflag | HUPCL) << hangUpOnClose;
        EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600)) << hangUpOnClose;
        EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0) << hangUpOnClose;
    }
    close(holder);
}

TEST_F(PosixLine, StalledLineCostsOneBoundedWaitPerCall)
{
    int holder = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(StallLine(holder));
    std::string config = root_ + "/qorin";
    ASSERT_EQ(mkdir(config.c_str(), 0755), 0);
    FILE* file = fopen((config + "/qorin.cfg").c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("1 COMPORT \n", file);
    fclose(file);

    ASSERT_EQ(NirekInstall(1), 0);
    NirekSetTimeout(5);
    double start = Now();
    EXPECT_EQ(NirekParam(1, 1), ZRQ_ACK_TIMEOUT);
    double param = Now() - start;
    NirekRemove();
    start = Now();
    EXPECT_EQ(Kap_Init(), ZRQ_NOT_RESPONDING);
    double init = Now() - start;
    printf(
        "stalled line: wait-mode NirekParam (time-out 5) %.2f s, Kap_Init %.2f s\n", param, init);
    EXPECT_LT(param, 2 * (0.5 + 6.5));
    EXPECT_LT(init, 2 * 1.6);
    close(holder);
}

TEST_F(PosixLine, SignalWhileWaitingForTheLineIsNoFailure)
{
    int holder = open(box_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(NirekInstall(1), 0);
    ASSERT_TRUE(StallLine(holder));
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: the wait sees EINTR
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    // A signal 100 ms into the wait; the box starts reading at 250 ms.
    pthread_t caller = pthread_self();
    std::vector<uint8_t> arrived;
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(caller, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        box_.Start();
    });
    NirekSetWaitMode(0);
    EXPECT_EQ(NirekParam(0x0102, 0x03040506), 0);
    peer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    box_.Stop();
    sigaction(SIGUSR1, &previous, nullptr);
    std::vector<uint8_t> got = box_.Received();
    const std::vector<uint8_t> frame = {0x70, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    ASSERT_GE(got.size(), frame.size());
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 7, got.end()), frame);
    close(holder);
}

}  // namespace

namespace {

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A child forked while another thread waits inside a call: its calls neither
// wait for the lock that thread held nor touch the parent's line, and its
// exit gives nothing back. The parent's next frame arrives byte for byte.
TEST_F(PosixLine, AForkedChildNeitherUsesNorGivesBackTheParentsLine)
{
    box_.acknowledge = false;
    box_.Start();
    ASSERT_EQ(NirekInstall(1), 0);
    NirekSetTimeout(15);
    NirekSetWaitMode(1);
    std::thread waiter([] { NirekParam(1, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pid_t pid = fork();
    if (pid == 0) {
        auto start = std::chrono::steady_clock::now();
        int32_t result = NirekParam(2, 2);
        bool fast = Since(start) < 1.0;
        exit(result == ZRQ_ACK_TIMEOUT && fast ? 0 : 1);  // exit(), so the exit hooks run
    }
    EXPECT_EQ(WaitExit(pid, 10000), 0) << "the child waited, or its call succeeded";
    waiter.join();
    box_.acknowledge = true;
    size_t before = box_.Received().size();
    EXPECT_EQ(NirekParam(0x0A0D, 0x0A0D0A0D), 0);
    std::vector<uint8_t> got = box_.Received();
    const std::vector<uint8_t> frame = {0x70, 0x0A, 0x0D, 0x0A, 0x0D, 0x0A, 0x0D};
    ASSERT_GE(got.size(), before + frame.size());
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 7, got.end()), frame);
    // The child's call wrote nothing: only the parent's two frames and its
    // resynchronisation after the lost acknowledgement are on the line.
    size_t frames = 0;
    for (size_t i = 0; i + 6 < got.size(); ++i)
        if (got[i] == 0x70 && got[i + 1] == 0x00 && got[i + 2] == 0x02)
            ++frames;
    EXPECT_EQ(frames, 0u) << "the child's frame reached the line";
}

void CountSignal(int) { }

// Under a storm of signals every sleep still ends at its deadline: the probe
// of a silent box (a line break between 50 ms sleeps, the reply waits) takes
// its usual 1.6 s, not for ever.
TEST_F(PosixLine, SleepsKeepTheirDeadlinesUnderASignalStorm)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = CountSignal;
    struct sigaction previous;
    sigaction(SIGALRM, &action, &previous);
    ASSERT_EQ(NirekInstall(1), 0);
    struct itimerval storm = {{0, 50}, {0, 50}};  // 20 kHz
    setitimer(ITIMER_REAL, &storm, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NirekGetBoxState(), 3);
    double seconds = Since(start);
    struct itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_LT(seconds, 10.0);
}

#ifdef ZRQ_LIBRARY_FILE
// Unloading the library with the port open closes the port: a copy loaded
// and unloaded by hand leaves the port free for the next opener.
TEST_F(PosixLine, UnloadingTheLibraryClosesThePort)
{
    std::string copy = root_ + "/libzrqapi-copy.so";
    std::filesystem::copy_file(ZRQ_LIBRARY_FILE, copy);
    void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto install = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(library, "NirekInstall"));
    ASSERT_NE(install, nullptr);
    ASSERT_EQ(install(1), 0);
    EXPECT_NE(NirekInstall(1), 0) << "the copy's open did not hold the port";
    dlclose(library);
    EXPECT_EQ(NirekInstall(1), 0) << "the unloaded copy still holds the port";
}
#endif

}  // namespace
