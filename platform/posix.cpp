// POSIX backend: termios serial lines, CLOCK_MONOTONIC, poll-based waits.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/net.h"
#include "platform/platform.h"

static int32_t s_lastError = 0;

// Lines seen hung up by the last wait. A hung-up pseudo-terminal reads 0
// bytes, just as an idle one does; only poll's POLLHUP tells them apart.
static const int kMaxTrackedFd = 4096;
static bool s_hungUp[kMaxTrackedFd];

static void MarkHungUp(int fd, bool hungUp)
{
    if (fd >= 0 && fd < kMaxTrackedFd)
        s_hungUp[fd] = hungUp;
}

static bool IsHungUp(int fd)
{
    return fd >= 0 && fd < kMaxTrackedFd && s_hungUp[fd];
}

static int Fail(int error)
{
    s_lastError = error;
    return 0;
}

// COMn is $ZRQAPI_ROOT/dev/comN when there is any entry of that name (normally
// a link to a tty), else the n-th on-board port. lstat, not stat: a link whose
// adapter is unplugged is still the port the installation named, and opening
// the on-board port in its place would drive whatever is attached there.
static int DevicePath(int32_t portNumber, char* path, size_t size)
{
    int n = snprintf(path, size, "%s/dev/com%d", PlatRoot(), static_cast<int>(portNumber));
    if (n < 0 || static_cast<size_t>(n) >= size)
        return Fail(ENAMETOOLONG);
    struct stat st;
    if (lstat(path, &st) == 0 || errno != ENOENT)
        return 1;
    snprintf(path, size, "/dev/ttyS%d", static_cast<int>(portNumber - 1));
    return 1;
}

// The settings each open line had before we changed them, put back at close.
// A line belongs to the process that opened it: a forked child shares the
// descriptor (and its lock) but must neither use it nor give it back.
struct OpenLine {
    std::atomic<int> fd {-1};
    pid_t owner = 0;
    // Set once the line was given back at exit or unload; read without the
    // line lock by PlatSerialOwned.
    std::atomic<bool> givenBack {false};
    struct termios saved;
};
static const int kMaxOpenLines = 8;  // one per COM number; flock bars a second open
static OpenLine s_openLines[kMaxOpenLines];

static OpenLine* FindLine(int fd)
{
    for (OpenLine& line : s_openLines)
        if (line.fd == fd)
            return &line;
    return nullptr;
}

static bool Owned(const OpenLine* line)
{
    return line != nullptr && line->owner == getpid() && !line->givenBack;
}

int PlatSerialOwned(PlatHandle device)
{
    if (NetOwns(device))
        return NetSerialOwned(device);
    return Owned(FindLine(static_cast<int>(device))) ? 1 : 0;
}

int PlatSerialOpen(int32_t portNumber, PlatHandle* device)
{
    int net = NetSerialOpen(portNumber, device);
    if (net >= 0)
        return net ? 1 : Fail(NetLastError());
    char path[kPlatMaxPath];
    if (!DevicePath(portNumber, path, sizeof path))
        return 0;
    OpenLine* line = FindLine(-1);
    if (line == nullptr)
        return Fail(EMFILE);
    // Non-blocking, so that an absent carrier can never hold the open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(errno);
    if (!isatty(fd)) {
        close(fd);
        return Fail(ENOTTY);
    }
    // flock binds root and a second opener in the same process alike;
    // TIOCEXCL makes any later open of the tty fail with EBUSY, also by
    // programs that take no lock (a terminal program would read our
    // acknowledgements). Root is exempt from TIOCEXCL, not from flock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return Fail(error);
    }
    if (tcgetattr(fd, &line->saved) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        int error = errno;
        close(fd);
        return Fail(error);
    }
    line->fd = fd;
    line->owner = getpid();
    line->givenBack = false;
    MarkHungUp(fd, false);
    *device = fd;
    return 1;
}

static int SetLine(int fd, const struct termios* tio)
{
    if (tcsetattr(fd, TCSANOW, tio) != 0)
        return Fail(errno);
    return 1;
}

int PlatSerialConfigure(PlatHandle device)
{
    if (NetOwns(device))
        return 1;
    int fd = static_cast<int>(device);
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return Fail(errno);
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    // HUPCL: DTR drops when the port closes, even when the process dies.
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (!SetLine(fd, &tio))
        return 0;
    // DTR up, RTS down; a pseudo-terminal has no modem lines and refuses.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &dtr);
    (void)ioctl(fd, TIOCMBIC, &rts);
    // USB adapters hold received bytes for a latency timer unless asked not to.
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
    return 1;
}

void PlatSerialSetupQueues(PlatHandle) { }

static speed_t SpeedFor(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
    }
}

int PlatSerialSetBaud(PlatHandle device, uint32_t baud)
{
    if (NetOwns(device))
        return NetSerialSetBaud(device, baud) ? 1 : Fail(NetLastError());
    int fd = static_cast<int>(device);
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return Fail(errno);
    cfsetispeed(&tio, SpeedFor(baud));
    cfsetospeed(&tio, SpeedFor(baud));
    return SetLine(fd, &tio);
}

int PlatSerialSetFormat(PlatHandle device, int parity, int byteSize, int stopBits)
{
    if (NetOwns(device))
        return NetSerialSetFormat(device, parity, byteSize, stopBits) ? 1 : Fail(NetLastError());
    int fd = static_cast<int>(device);
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return Fail(errno);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= byteSize == 7 ? CS7 : byteSize == 6 ? CS6 : byteSize == 5 ? CS5 : CS8;
    if (parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (parity == 2)
        tio.c_cflag |= PARENB;
    if (stopBits != 0)
        tio.c_cflag |= CSTOPB;
    return SetLine(fd, &tio);
}

int PlatSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got)
{
    if (NetOwns(device))
        return NetSerialRead(device, buffer, max, got) ? 1 : Fail(NetLastError());
    int fd = static_cast<int>(device);
    *got = 0;
    if (!Owned(FindLine(fd)))
        return Fail(EBADF);
    ssize_t n = read(fd, buffer, max);
    if (n > 0) {
        *got = static_cast<uint32_t>(n);
        return 1;
    }
    if (n == 0 && IsHungUp(fd))
        return Fail(EIO);
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return 1;
    // EIO: the other end of the line has gone away.
    return Fail(errno);
}

const int32_t kPlatErrorLineStalled = ETIMEDOUT;

static uint64_t NowMicros()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int PlatSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written)
{
    if (NetOwns(device))
        return NetSerialWrite(device, bytes, n, written) ? 1 : Fail(NetLastError());
    int fd = static_cast<int>(device);
    *written = 0;
    if (!Owned(FindLine(fd)))
        return Fail(EBADF);
    uint64_t lastProgress = NowMicros();
    while (*written < n) {
        ssize_t k = write(fd, bytes + *written, n - *written);
        if (k > 0) {
            *written += static_cast<uint32_t>(k);
            lastProgress = NowMicros();
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno == EAGAIN) {
            // Output queue full: wait for room while the line keeps taking bytes.
            uint64_t idle = NowMicros() - lastProgress;
            if (idle >= kPlatWriteStallMicros)
                return Fail(kPlatErrorLineStalled);
            int waitMs = static_cast<int>((kPlatWriteStallMicros - idle + 999u) / 1000u);
            struct pollfd pfd = {fd, POLLOUT, 0};
            int ready = poll(&pfd, 1, waitMs);
            // A signal is not the line failing: wait on for the rest of the bound.
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            if (ready == 1 && (pfd.revents & POLLOUT) != 0)
                continue;
            return Fail(ready < 0 ? errno : EIO);
        }
        return Fail(k < 0 ? errno : EIO);
    }
    return 1;
}

void PlatSerialBreak(PlatHandle device, int on)
{
    if (NetOwns(device))
        return NetSerialBreak(device, on);
    (void)ioctl(static_cast<int>(device), on ? TIOCSBRK : TIOCCBRK);
}

void PlatSerialClearErrors(PlatHandle, uint32_t* flags)
{
    *flags = 0;
}

// To an absolute deadline: a relative sleep restarted after each signal
// re-sleeps its rounded-up remainder, and a fast enough signal rate makes it
// last for ever.
static void SleepMicros(uint32_t micros)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    uint64_t nanos = static_cast<uint64_t>(until.tv_nsec) + static_cast<uint64_t>(micros) * 1000u;
    until.tv_sec += static_cast<time_t>(nanos / 1000000000u);
    until.tv_nsec = static_cast<long>(nanos % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) { }
}

// Output still queued gets up to the stall bound to leave at our settings;
// what a wedged line still holds is dropped, so the close cannot hang on it.
static void LetOutputDrain(int fd)
{
    uint64_t start = NowMicros();
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (NowMicros() - start >= kPlatWriteStallMicros) {
            tcflush(fd, TCOFLUSH);
            return;
        }
        SleepMicros(2000);
    }
}

// The line's own settings come back, with HUPCL so that DTR drops as the port
// closes: a mistaken link to a terminal is not left raw. TIOCEXCL outlives our
// descriptor on a pseudo-terminal, so it is lifted by hand.
static void GiveLineBack(OpenLine* line)
{
    struct termios restored = line->saved;
    restored.c_cflag |= HUPCL;
    (void)tcsetattr(line->fd, TCSANOW, &restored);
    (void)ioctl(line->fd, TIOCNXCL);
}

void PlatSerialClose(PlatHandle device)
{
    if (NetOwns(device))
        return NetSerialClose(device);
    int fd = static_cast<int>(device);
    OpenLine* line = FindLine(fd);
    // Only the owner drains and restores; a child closes its copy only.
    if (Owned(line)) {
        LetOutputDrain(fd);
        GiveLineBack(line);
    }
    if (line != nullptr)
        line->fd = -1;
    MarkHungUp(fd, false);
    close(fd);
}

int PlatSerialWaitReadable(PlatHandle device, uint32_t maxMicros)
{
    if (device == kPlatNoHandle || !Owned(FindLine(static_cast<int>(device)))) {
        SleepMicros(maxMicros);
        return 0;
    }
    if (NetOwns(device))
        return NetSerialWaitReadable(device, maxMicros);
    struct pollfd pfd = {static_cast<int>(device), POLLIN, 0};
    struct timespec ts;
    ts.tv_sec = maxMicros / 1000000u;
    ts.tv_nsec = static_cast<long>(maxMicros % 1000000u) * 1000L;
    int ready = ppoll(&pfd, 1, &ts, nullptr);
    bool hungUp = ready == 1 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    MarkHungUp(pfd.fd, hungUp);
    if (hungUp) {
        // A pseudo-terminal whose master closed polls POLLHUP (with POLLIN)
        // at once and for ever, and reads fail; sleep the slice rather than
        // spin on it. Bytes still buffered were taken by the read before.
        SleepMicros(maxMicros);
        return 0;
    }
    return ready == 1 && (pfd.revents & POLLIN) != 0;
}

// Recursive: the high-level exports call the low-level ones.
static pthread_mutex_t s_exportLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

void PlatLockEnter()
{
    pthread_mutex_lock(&s_exportLock);
}

void PlatLockLeave()
{
    pthread_mutex_unlock(&s_exportLock);
}

static pthread_mutex_t s_lineLock = PTHREAD_MUTEX_INITIALIZER;

void PlatLineEnter()
{
    pthread_mutex_lock(&s_lineLock);
}

void PlatLineLeave()
{
    pthread_mutex_unlock(&s_lineLock);
}

// A child forked while another thread held a lock would wait for it for
// ever: it starts with both locks free. Its exports then fail at once, as
// the line is the parent's (PlatSerialOwned).
static void FreeLocksInChild()
{
    pthread_mutexattr_t recursive;
    pthread_mutexattr_init(&recursive);
    pthread_mutexattr_settype(&recursive, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&s_exportLock, &recursive);
    pthread_mutexattr_destroy(&recursive);
    pthread_mutex_init(&s_lineLock, nullptr);
}

__attribute__((constructor)) static void WatchForks()
{
    pthread_atfork(nullptr, nullptr, FreeLocksInChild);
}

// At exit and at unload (dlclose) the process's own lines get their settings
// back and are closed, which lifts the lock: a later open in the process, or
// in another, finds the port free. Under the line lock, so that no write of a
// call still running on another thread is cut in two; that call's later
// writes and waits fail, as the line is no longer owned. The lock is waited
// for a bounded time: exit() may come from a signal handler that interrupted
// its holder.
__attribute__((destructor)) static void GiveLinesBack()
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 1;
    bool locked = pthread_mutex_timedlock(&s_lineLock, &until) == 0;
    for (OpenLine& line : s_openLines) {
        if (line.fd < 0)
            continue;
        bool owned = Owned(&line);
        if (owned)
            GiveLineBack(&line);
        line.givenBack = true;
        if (owned) {
            close(line.fd);
            line.fd = -1;
        }
    }
    if (locked)
        pthread_mutex_unlock(&s_lineLock);
}
static PlatHandle s_nextEvent = 1;

int PlatEventCreate(PlatHandle* event)
{
    *event = s_nextEvent++;
    return 1;
}

void PlatEventClose(PlatHandle) { }

int32_t PlatLastError()
{
    return s_lastError;
}

size_t PlatErrorMessage(int32_t code, char* buffer, size_t size)
{
    if (size == 0)
        return 0;
    buffer[0] = '\0';
    if (code <= 0)
        return 0;
    if (size_t n = NetErrorMessage(code, buffer, size))
        return n;
    char scratch[256];
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (text == nullptr || strncmp(text, "Unknown error", 13) == 0)
        return 0;
    snprintf(buffer, size, "%s", text);
    return strlen(buffer);
}

int PlatCounterFrequency(uint64_t* ticksPerSecond)
{
    *ticksPerSecond = 1000000u;
    return 1;
}

uint64_t PlatCounterNow()
{
    return NowMicros();
}

void PlatSleepMicros(uint32_t micros)
{
    SleepMicros(micros);
}

uint32_t PlatSleepSlackMs()
{
    return 0;
}

// Keyboards among the Linux input devices that this process may read; the
// abort keys are reported held only when one of them really says so.
static const int kMaxKeyboards = 8;
static int s_keyboards[kMaxKeyboards];
static int s_keyboardCount = -1;

static bool HasKey(const unsigned char* bits, int key)
{
    return (bits[key / 8] >> (key % 8)) & 1;
}

static void FindKeyboards()
{
    s_keyboardCount = 0;
    DIR* dir = opendir("/dev/input");
    if (dir == nullptr)
        return;
    while (struct dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, "event", 5) != 0 || s_keyboardCount == kMaxKeyboards)
            continue;
        char path[300];
        snprintf(path, sizeof path, "/dev/input/%s", entry->d_name);
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        unsigned char keys[KEY_MAX / 8 + 1] = {};
        if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) >= 0 && HasKey(keys, KEY_LEFTCTRL)
            && HasKey(keys, KEY_LEFTALT))
            s_keyboards[s_keyboardCount++] = fd;
        else
            close(fd);
    }
    closedir(dir);
}

int16_t PlatKeyState(PlatKey key)
{
    if (s_keyboardCount < 0)
        FindKeyboards();
    int left = key == kPlatKeyAlt ? KEY_LEFTALT : KEY_LEFTCTRL;
    int right = key == kPlatKeyAlt ? KEY_RIGHTALT : KEY_RIGHTCTRL;
    for (int i = 0; i < s_keyboardCount; ++i) {
        unsigned char state[KEY_MAX / 8 + 1] = {};
        if (ioctl(s_keyboards[i], EVIOCGKEY(sizeof state), state) < 0)
            continue;
        if (HasKey(state, left) || HasKey(state, right))
            return static_cast<int16_t>(0x8000);
    }
    return 0;
}

// Console: raw, unechoed, no signals from Ctrl-C, restored by PlatConsoleEnd.
// A process killed while raw would leave the operator's shell without echo,
// so the usual termination signals and the crash signals restore the console
// before they act, and so does exit().
static struct termios s_savedConsole;
static volatile sig_atomic_t s_consoleRaw = 0;
static const int s_restoringSignals[]
    = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
static const size_t kRestoringSignalCount
    = sizeof s_restoringSignals / sizeof s_restoringSignals[0];
static struct sigaction s_previousActions[kRestoringSignalCount];
static bool s_exitHookSet = false;

static void RestoreConsole()
{
    if (s_consoleRaw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &s_savedConsole);
        s_consoleRaw = 0;
    }
}

static void RestoreConsoleOnSignal(int signalNumber)
{
    int savedErrno = errno;
    RestoreConsole();
    for (size_t i = 0; i < kRestoringSignalCount; ++i)
        if (s_restoringSignals[i] == signalNumber)
            sigaction(signalNumber, &s_previousActions[i], nullptr);
    // Hand the signal on to whatever the process had installed (or the default).
    raise(signalNumber);
    errno = savedErrno;
}

void PlatConsoleBegin()
{
    if (s_consoleRaw || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &s_savedConsole) != 0)
        return;
    struct termios raw = s_savedConsole;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (!s_exitHookSet) {
        atexit(RestoreConsole);
        s_exitHookSet = true;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RestoreConsoleOnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kRestoringSignalCount; ++i)
        sigaction(s_restoringSignals[i], &action, &s_previousActions[i]);
    s_consoleRaw = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        PlatConsoleEnd();
}

void PlatConsoleEnd()
{
    if (!s_consoleRaw)
        return;
    RestoreConsole();
    for (size_t i = 0; i < kRestoringSignalCount; ++i)
        sigaction(s_restoringSignals[i], &s_previousActions[i], nullptr);
}

int PlatConsoleKeyHit()
{
    // A hang-up or a closed descriptor counts as a key: the read that follows
    // fails and ends the terminal instead of leaving it waiting forever.
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1 && pfd.revents != 0;
}

int PlatConsoleGetKey()
{
    unsigned char c;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    // End of input reads as Ctrl-A, so a terminal fed from a file ends.
    return n == 1 ? c : 1;
}

void PlatConsolePutChar(int c)
{
    fputc(c, stdout);
    fflush(stdout);
}
