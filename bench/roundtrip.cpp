// Per-command cost: wait-mode NirekParam round trips against an in-process
// responder on a pseudo-terminal, beside the least a program can do for the
// same bytes on the same line (one write, one poll, one read).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/support.h"
#include "zrqapi.h"

namespace {

const int kFrameBytes = 7;  // 'p', 16-bit number, 32-bit value
const uint8_t kFrame[kFrameBytes] = {0x70, 0x00, 0x22, 0x00, 0x00, 0x01, 0x01};

struct Line {
    bench::ScratchRoot root;
    bench::Pty pty;
    int heldSlave = -1;  // keeps the master readable while no client has the line open
    std::atomic<bool> stop {false};
    std::thread responder;

    bool Open()
    {
        if (!root.Make() || !pty.Open(root.ComLink(1)))
            return false;
        heldSlave = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio;
        if (heldSlave < 0 || tcgetattr(heldSlave, &tio) != 0)
            return false;
        cfmakeraw(&tio);
        tcsetattr(heldSlave, TCSANOW, &tio);
        responder = std::thread([this] { Respond(); });
        return true;
    }

    // Acknowledges every whole frame at once.
    void Respond()
    {
        int have = 0;
        uint8_t buffer[256];
        while (!stop.load(std::memory_order_relaxed)) {
            pollfd pfd = {pty.master, POLLIN, 0};
            if (poll(&pfd, 1, 100) != 1 || (pfd.revents & POLLIN) == 0)
                continue;
            ssize_t n = read(pty.master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            have += static_cast<int>(n);
            for (; have >= kFrameBytes; have -= kFrameBytes) {
                uint8_t ack = 0x02;
                if (write(pty.master, &ack, 1) != 1)
                    perror("responder");
            }
        }
    }

    void Close()
    {
        stop = true;
        if (responder.joinable())
            responder.join();
        if (heldSlave >= 0)
            close(heldSlave);
        pty.Close();
        root.Remove();
    }
};

Line g_line;

void MinimalLoop(benchmark::State& state)
{
    int fd = open(g_line.pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the line");
        return;
    }
    for (auto _ : state) {
        if (write(fd, kFrame, kFrameBytes) != kFrameBytes) {
            state.SkipWithError("write failed");
            break;
        }
        pollfd pfd = {fd, POLLIN, 0};
        uint8_t ack;
        while (poll(&pfd, 1, -1) != 1 || read(fd, &ack, 1) != 1) { }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}

void LibraryNirekParam(benchmark::State& state)
{
    if (NirekInstall(1) != 0) {
        state.SkipWithError("NirekInstall failed");
        return;
    }
    NirekSetWaitMode(1);
    for (auto _ : state) {
        if (NirekParam(34, 257) != 0) {
            state.SkipWithError("acknowledgement lost");
            break;
        }
    }
    NirekRemove();
    state.SetItemsProcessed(state.iterations());
}

// What entering an export costs before it does anything: the call and the
// process-wide lock, uncontended.
void EmptyExportCall(benchmark::State& state)
{
    int32_t value = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(value = Kap_TestCall(value));
    state.SetItemsProcessed(state.iterations());
}

// One hand-written trip on the line: write the frame, wait, read the
// acknowledgement. The waits differ in the system calls they make:
//   kPoll      poll() without a time-out (the least a program can do);
//   kTimedPoll ppoll() with the library's 10 ms slice;
//   kAsLibrary a read that finds nothing, then ppoll() with the slice, then
//              the read: the library's own calls, without the library.
enum TripWait { kPoll, kTimedPoll, kAsLibrary };

bool HandTrip(int fd, TripWait wait)
{
    if (write(fd, kFrame, kFrameBytes) != kFrameBytes)
        return false;
    uint8_t ack[32];
    if (wait == kAsLibrary && read(fd, ack, sizeof ack) == 1)
        return true;
    pollfd pfd = {fd, POLLIN, 0};
    timespec slice = {0, 10000000};
    for (;;) {
        int ready = wait == kPoll ? poll(&pfd, 1, -1) : ppoll(&pfd, 1, &slice, nullptr);
        if (ready == 1 && read(fd, ack, sizeof ack) == 1)
            return true;
    }
}

// The library's loop and the hand-written ones, timed trip by trip in
// alternating blocks, so that all see the same load on a shared machine;
// medians are robust to its bursts. The hand-written variants tell what the
// kernel charges for the library's system calls, apart from the library.
void InterleavedTrips(int blocks, int perBlock)
{
    int fd = open(g_line.pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || NirekInstall(1) != 0) {
        fprintf(stderr, "zrq-bench-roundtrip: cannot open the line\n");
        return;
    }
    NirekSetWaitMode(1);
    std::vector<double> library, minimal, timed, asLibrary;
    std::vector<double>* hand[] = {&minimal, &timed, &asLibrary};
    int lost = 0;
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < perBlock; ++i) {
            uint64_t t0 = bench::NowNanos();
            lost += NirekParam(34, 257) != 0;
            library.push_back(static_cast<double>(bench::NowNanos() - t0) / 1000.0);
        }
        for (int w = kPoll; w <= kAsLibrary; ++w) {
            for (int i = 0; i < perBlock; ++i) {
                uint64_t t0 = bench::NowNanos();
                lost += !HandTrip(fd, static_cast<TripWait>(w));
                hand[w]->push_back(static_cast<double>(bench::NowNanos() - t0) / 1000.0);
            }
        }
    }
    NirekRemove();
    close(fd);
    auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
    };
    auto line = [&](const char* name, const std::vector<double>& v) {
        printf("  %-44s median %6.1f us, p90 %6.1f, mean %6.1f\n", name, bench::Percentile(v, 50),
            bench::Percentile(v, 90), mean(v));
    };
    printf("interleaved %d x %d trips of each:\n", blocks, perBlock);
    line("library (NirekParam, wait mode)", library);
    line("minimal loop: write, poll(no time-out), read", minimal);
    line("write, ppoll(10 ms), read", timed);
    line("write, read, ppoll(10 ms), read", asLibrary);
    double libMedian = bench::Percentile(library, 50), minMedian = bench::Percentile(minimal, 50);
    printf("interleaved library round trips per second / minimal loop's: %.3f by median, %.3f by "
           "mean; / the same system calls by hand: %.3f by median; lost %d\n",
        minMedian / libMedian, mean(minimal) / mean(library),
        bench::Percentile(asLibrary, 50) / libMedian, lost);
}

BENCHMARK(MinimalLoop)->UseRealTime()->MinTime(1.0);
BENCHMARK(LibraryNirekParam)->UseRealTime()->MinTime(1.0);
BENCHMARK(EmptyExportCall);

}  // namespace

int main(int argc, char** argv)
{
    int blocks = 20;
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i + 1 < argc; i += 2)
        if (strcmp(argv[i], "--blocks") == 0)
            blocks = atoi(argv[i + 1]);
    if (!g_line.Open()) {
        fprintf(stderr, "zrq-bench-roundtrip: no pseudo-terminal to be had\n");
        return 1;
    }
    benchmark::AddCustomContext("machine", bench::MachineLine());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    InterleavedTrips(blocks, 500);
    g_line.Close();
    return 0;
}
