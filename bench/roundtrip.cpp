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

// The same two loops timed trip by trip in alternating blocks, so that both
// see the same load on a shared machine; medians are robust to its bursts.
void InterleavedTrips(int blocks, int perBlock)
{
    int fd = open(g_line.pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || NirekInstall(1) != 0) {
        fprintf(stderr, "zrq-bench-roundtrip: cannot open the line\n");
        return;
    }
    NirekSetWaitMode(1);
    std::vector<double> library, minimal;
    int lost = 0;
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < perBlock; ++i) {
            uint64_t t0 = bench::NowNanos();
            lost += NirekParam(34, 257) != 0;
            library.push_back(static_cast<double>(bench::NowNanos() - t0) / 1000.0);
        }
        for (int i = 0; i < perBlock; ++i) {
            uint64_t t0 = bench::NowNanos();
            if (write(fd, kFrame, kFrameBytes) != kFrameBytes)
                ++lost;
            pollfd pfd = {fd, POLLIN, 0};
            uint8_t ack;
            while (poll(&pfd, 1, -1) != 1 || read(fd, &ack, 1) != 1) { }
            minimal.push_back(static_cast<double>(bench::NowNanos() - t0) / 1000.0);
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
    double libMedian = bench::Percentile(library, 50), minMedian = bench::Percentile(minimal, 50);
    printf("interleaved %d x %d trips: library median %.1f us (p90 %.1f, mean %.1f); minimal loop "
           "median %.1f us (p90 %.1f, mean %.1f)\n",
        blocks, perBlock, libMedian, bench::Percentile(library, 90), mean(library), minMedian,
        bench::Percentile(minimal, 90), mean(minimal));
    printf("interleaved library round trips per second / minimal loop's: %.3f by median, %.3f by "
           "mean; lost %d\n",
        minMedian / libMedian, mean(minimal) / mean(library), lost);
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
