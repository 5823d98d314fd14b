// What waiting costs. (1) CPU time while a command waits 1 s for an
// acknowledgement that never comes; (2) the time from the box writing an
// acknowledgement to the library's call returning. Each is measured for the
// library's kernel-sleeping wait and for the reference design's busy poll,
// built from the same internals, on the same pseudo-terminal.
//
// usage: zrq-bench-wait [--round-trips N] [--idle-runs N]
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "bench/support.h"
#include "protocol/protocol.h"
#include "serial/timing.h"
#include "zrqapi.h"

namespace {

// The reference design's WaitForByte: the same loop without the kernel sleep.
int32_t BusyWaitForByte(int32_t tenths)
{
    Deadline deadline;
    SetDeadline(&deadline, tenths * 100);
    for (;;) {
        if (DeadlinePassed(deadline))
            return ComAvail(&g_link);
        if (ComAvail(&g_link))
            return 1;
        if (AbortHook(&deadline) != 0)
            return 0;
    }
}

// CollectAck over the busy wait; 1 on a time-out, as CollectAck.
int32_t BusyCollectAck()
{
    if (g_protocol.ackPending == 0)
        return 0;
    int32_t reply = NoByte;
    if (ComAvail(&g_link) || BusyWaitForByte(g_protocol.ackTimeout))
        reply = ComGetByte(&g_link);
    g_protocol.ackPending = 0;
    return reply == NoByte ? 1 : 0;
}

struct Responder {
    int master = -1;
    std::atomic<bool> stop {false};
    std::atomic<bool> answer {false};
    std::atomic<uint64_t> wroteAtNanos {0};
    std::thread thread;

    // Answers each 7-byte frame after a random pause, so that the waiting
    // side is really asleep (or spinning) when the byte comes, and notes the
    // moment just before the acknowledgement is written.
    void Run()
    {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(200, 800);
        int have = 0;
        uint8_t buffer[256];
        while (!stop.load()) {
            pollfd pfd = {master, POLLIN, 0};
            if (poll(&pfd, 1, 100) != 1 || (pfd.revents & POLLIN) == 0)
                continue;
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            have += static_cast<int>(n);
            for (; have >= 7; have -= 7) {
                if (!answer.load())
                    continue;
                timespec ts = {0, pause(random) * 1000L};
                nanosleep(&ts, nullptr);
                uint8_t ack = 0x02;
                wroteAtNanos.store(bench::NowNanos());
                if (write(master, &ack, 1) != 1)
                    perror("responder");
            }
        }
    }
};

struct IdleFigure {
    double cpuPercent;
    double wallSeconds;
};

IdleFigure MeasureIdle(bool busy)
{
    NirekSetWaitMode(0);
    NirekSetTimeout(10);  // one second
    NirekParam(34, 1);    // lazy: the acknowledgement is left pending
    uint64_t cpu0 = bench::CpuMicros();
    uint64_t wall0 = bench::NowMicros();
    int32_t timedOut = busy ? BusyCollectAck() : CollectAck();
    uint64_t wall = bench::NowMicros() - wall0;
    uint64_t cpu = bench::CpuMicros() - cpu0;
    if (timedOut != 1)
        fprintf(stderr, "zrq-bench-wait: an acknowledgement came where none should\n");
    return {100.0 * static_cast<double>(cpu) / static_cast<double>(wall), wall / 1e6};
}

// One round trip; returns microseconds from the acknowledgement's write to
// the return of the call that collected it, or -1 when it was lost.
double RoundTrip(Responder* responder, bool busy)
{
    int32_t lost;
    if (busy) {
        NirekSetWaitMode(0);
        NirekParam(34, 257);
        lost = BusyCollectAck();
    } else {
        NirekSetWaitMode(1);
        lost = NirekParam(34, 257) != 0;
    }
    uint64_t returned = bench::NowNanos();
    if (lost)
        return -1;
    return static_cast<double>(returned - responder->wroteAtNanos.load()) / 1000.0;
}

// Spinners at the lowest priority, one a core: any runnable thread displaces
// them at once, but no core is ever idle, so a wake-up never has to bring a
// halted core (in a virtual machine, a halted virtual CPU) back first.
struct CoreKeepers {
    std::atomic<bool> stop {false};
    std::vector<std::thread> threads;
    void Start()
    {
        long cores = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < cores; ++i)
            threads.emplace_back([this] {
                sched_param param = {};
                pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
                while (!stop.load(std::memory_order_relaxed)) { }
            });
    }
    void Stop()
    {
        stop = true;
        for (std::thread& t : threads)
            t.join();
        threads.clear();
        stop = false;
    }
};

void PrintLatency(const char* name, const std::vector<double>& sample)
{
    printf("latency %-24s median %8.1f us   p99 %8.1f us   max %8.1f us   n %zu\n", name,
        bench::Percentile(sample, 50), bench::Percentile(sample, 99),
        bench::Percentile(sample, 100), sample.size());
}

}  // namespace

int main(int argc, char** argv)
{
    int roundTrips = 10000;
    int idleRuns = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--round-trips") == 0)
            roundTrips = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--idle-runs") == 0)
            idleRuns = atoi(argv[i + 1]);
    }

    bench::ScratchRoot root;
    bench::Pty pty;
    if (!root.Make() || !pty.Open(root.ComLink(1))) {
        fprintf(stderr, "zrq-bench-wait: no pseudo-terminal to be had\n");
        return 1;
    }
    int heldSlave = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (heldSlave >= 0 && tcgetattr(heldSlave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(heldSlave, TCSANOW, &tio);
    }
    if (NirekInstall(1) != 0) {
        fprintf(stderr, "zrq-bench-wait: NirekInstall failed\n");
        return 1;
    }
    Responder responder;
    responder.master = pty.master;
    responder.thread = std::thread([&responder] { responder.Run(); });

    printf("machine: %s\n", bench::MachineLine().c_str());

    // Waiting costs no CPU.
    std::vector<double> sleeping, busy;
    for (int run = 0; run < idleRuns; ++run) {
        IdleFigure s = MeasureIdle(false);
        IdleFigure b = MeasureIdle(true);
        sleeping.push_back(s.cpuPercent);
        busy.push_back(b.cpuPercent);
        printf("idle run %d: kernel-sleeping wait %.3f s at %.2f %% of a core; busy poll %.3f s at "
               "%.1f %%\n",
            run + 1, s.wallSeconds, s.cpuPercent, b.wallSeconds, b.cpuPercent);
    }
    printf("idle cpu  kernel-sleeping wait %.2f %% of a core, busy poll %.1f %% (median of %d)\n",
        bench::Percentile(sleeping, 50), bench::Percentile(busy, 50), idleRuns);

    // Latency to take a reply, in alternating blocks so both see the same
    // load; then again with every core kept awake by idle-priority spinners.
    NirekSetTimeout(10);
    responder.answer = true;
    for (int awake = 0; awake < 2; ++awake) {
        CoreKeepers keepers;
        if (awake)
            keepers.Start();
        std::vector<double> slept, polled;
        int lost = 0;
        const int kBlock = 250;
        for (int done = 0; done < roundTrips; done += kBlock) {
            int block = std::min(kBlock, roundTrips - done);
            for (int i = 0; i < block; ++i) {
                double us = RoundTrip(&responder, false);
                us < 0 ? ++lost : (slept.push_back(us), 0);
            }
            for (int i = 0; i < block; ++i) {
                double us = RoundTrip(&responder, true);
                us < 0 ? ++lost : (polled.push_back(us), 0);
            }
        }
        if (awake)
            keepers.Stop();
        const char* condition = awake ? "cores kept awake" : "idle cores halt";
        printf("latency (%s)\n", condition);
        PrintLatency("kernel-sleeping wait", slept);
        PrintLatency("busy poll", polled);
        printf("latency behind busy poll (%s): median %+.1f us, p99 %+.1f us; lost "
               "acknowledgements %d\n",
            condition, bench::Percentile(slept, 50) - bench::Percentile(polled, 50),
            bench::Percentile(slept, 99) - bench::Percentile(polled, 99), lost);
    }

    responder.stop = true;
    responder.thread.join();
    NirekRemove();
    if (heldSlave >= 0)
        close(heldSlave);
    pty.Close();
    root.Remove();
    return 0;
}
