// The library against the wire: zrq-boxsim paces both directions at 38400
// baud (--pace-input), so one byte lasts 260.4 us and nothing can beat
// 3,840 bytes a second. Prints (1) lazy-mode throughput of compact and long
// relative moves, (2) the bytes and seconds the compact forms save on a drawn
// path of short segments, (3) Kap_Init's wall time beside its wire time and
// its fixed drains.
//
// usage: zrq-bench-wire [--moves N] [--segments N] [--inits N]
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/support.h"
#include "protocol/protocol.h"
#include "zrqapi.h"

namespace {

const double kBaud = 38400.0;
const double kBytesPerSecond = kBaud / 10.0;  // 8N1: ten bits a byte
const double kByteMicros = 1e6 / kBytesPerSecond;
const double kDrainMicros = 2000.0;  // one pass of the input drain, at least

bench::ScratchRoot g_root;

using Stats = std::vector<std::pair<std::string, uint64_t>>;

bool StartBox(bench::BoxProcess* box)
{
    if (!box->Start(ZRQ_BOXSIM, g_root.ComLink(1), {"--baud", "38400", "--pace-input"})) {
        fprintf(stderr, "zrq-bench-wire: zrq-boxsim did not start\n");
        return false;
    }
    return true;
}

struct Run {
    double seconds = 0;
    uint64_t bytesIn = 0;   // received by the box
    uint64_t bytesOut = 0;  // sent by the box
    uint64_t frames = 0;
};

// Sends moves in lazy mode on a box already in step and returns what the box
// counted. The bytes of the synchronisation before are subtracted.
template<typename Send> bool TimedLazyRun(int count, Send send, Run* run)
{
    bench::BoxProcess box;
    if (!StartBox(&box) || NirekInstall(1) != 0 || NirekSync(0) != 0) {
        fprintf(stderr, "zrq-bench-wire: no link to the box\n");
        box.Stop();
        return false;
    }
    NirekSetTimeout(20);
    NirekSetWaitMode(0);
    uint64_t t0 = bench::NowMicros();
    for (int i = 0; i < count; ++i)
        send(i);
    int32_t lost = CollectAck();
    run->seconds = static_cast<double>(bench::NowMicros() - t0) / 1e6;
    NirekSetWaitMode(1);
    Stats stats = box.Stop();
    NirekRemove();
    // The synchronisation before the run: sixteen 0x7F, one letter, one
    // sequence number and one echo per attempt.
    uint64_t attempts = bench::Stat(stats, "sync_attempts");
    run->bytesIn = bench::Stat(stats, "bytes_received") - 16 - 2 * attempts;
    run->bytesOut = bench::Stat(stats, "bytes_sent") - attempts;
    run->frames = bench::Stat(stats, "frames");
    if (lost != 0 || run->frames != static_cast<uint64_t>(count)) {
        fprintf(stderr, "zrq-bench-wire: %llu of %d frames reached the box%s\n",
            static_cast<unsigned long long>(run->frames), count,
            lost ? ", last acknowledgement lost" : "");
        return false;
    }
    return true;
}

void PrintThroughput(const char* name, int frameBytes, const Run& r)
{
    double wireSeconds = static_cast<double>(r.bytesIn + r.bytesOut) * kByteMicros / 1e6;
    printf("wire %-22s %6llu frames of %2d bytes + ack: %.3f s, line busy %.3f s,"
           " efficiency %.3f (%.0f bytes/s of %.0f)\n",
        name, static_cast<unsigned long long>(r.frames), frameBytes, r.seconds, wireSeconds,
        wireSeconds / r.seconds, static_cast<double>(r.bytesIn + r.bytesOut) / r.seconds,
        kBytesPerSecond);
}

// A drawn path: a seven-petalled rose, one inch across, in 22.10 counts
// (8,192,000 to the inch at a 12,500 step), cut into segments of equal angle,
// 1,800 a turn, so that segment lengths vary as a plotted curve's do (about
// 0.001 to 0.006 inch) whatever the number of segments.
std::vector<std::pair<int32_t, int32_t>> RosePath(int segments)
{
    const double countsPerInch = 8192000.0;
    std::vector<std::pair<int32_t, int32_t>> points;
    for (int i = 0; i <= segments; ++i) {
        double theta = 2.0 * M_PI * i / 1800.0;
        double r = 0.5 * (0.65 + 0.35 * sin(7.0 * theta));
        points.emplace_back(static_cast<int32_t>(lround(r * cos(theta) * countsPerInch)),
            static_cast<int32_t>(lround(r * sin(theta) * countsPerInch)));
    }
    return points;
}

// The least a program can do for the same exchange: write a frame, sleep in
// poll until the acknowledgement is there, read it, write the next.
void MinimalSend(int fd, const uint8_t* frame, int n)
{
    uint8_t ack;
    if (write(fd, frame, static_cast<size_t>(n)) != n)
        perror("zrq-bench-wire: write");
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 2000) != 1)
            break;
        if (read(fd, &ack, 1) == 1)
            break;
    }
}

// The minimal loop on the line the library has just synchronised (and then
// closed), so that the box is in step.
template<typename Send> bool TimedMinimalRun(int count, Send send, Run* run)
{
    bench::BoxProcess box;
    if (!StartBox(&box) || NirekInstall(1) != 0 || NirekSync(0) != 0) {
        box.Stop();
        return false;
    }
    NirekRemove();
    int fd = open(g_root.ComLink(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint64_t t0 = bench::NowMicros();
    for (int i = 0; i < count; ++i)
        send(fd, i);
    run->seconds = static_cast<double>(bench::NowMicros() - t0) / 1e6;
    close(fd);
    Stats stats = box.Stop();
    uint64_t attempts = bench::Stat(stats, "sync_attempts");
    run->bytesIn = bench::Stat(stats, "bytes_received") - 16 - 2 * attempts;
    run->bytesOut = bench::Stat(stats, "bytes_sent") - attempts;
    run->frames = bench::Stat(stats, "frames");
    return run->frames == static_cast<uint64_t>(count);
}

void Throughput(int moves)
{
    Run minimalCompact, minimalLong;
    const uint8_t compactFrames[2][5]
        = {{'C', 0x00, 0xC8, 0xFF, 0x9C}, {'C', 0xFF, 0x38, 0x00, 0x64}};
    const uint8_t longFrames[2][9] = {{'r', 0, 0, 0x9C, 0x40, 0xFF, 0xFF, 0x3C, 0xB0},
        {'r', 0xFF, 0xFF, 0x63, 0xC0, 0, 0, 0xC3, 0x50}};
    if (TimedMinimalRun(
            moves, [&](int fd, int i) { MinimalSend(fd, compactFrames[i % 2], 5); },
            &minimalCompact))
        PrintThroughput("minimal loop 'C'", 5, minimalCompact);
    if (TimedMinimalRun(
            moves, [&](int fd, int i) { MinimalSend(fd, longFrames[i % 2], 9); }, &minimalLong))
        PrintThroughput("minimal loop 'r'", 9, minimalLong);
    Run compact, longForm;
    if (TimedLazyRun(
            moves, [](int i) { NirekXYrel(i % 2 ? 200 : -200, i % 2 ? -100 : 100); }, &compact))
        PrintThroughput("compact 'C'", 5, compact);
    if (TimedLazyRun(
            moves, [](int i) { NirekXYrel(i % 2 ? 40000 : -40000, i % 2 ? -50000 : 50000); },
            &longForm))
        PrintThroughput("long 'r'", 9, longForm);
}

void PathSavings(int segments)
{
    auto path = RosePath(segments);
    int compactCount = 0;
    for (int i = 1; i <= segments; ++i) {
        int32_t dx = path[i].first - path[i - 1].first;
        int32_t dy = path[i].second - path[i - 1].second;
        if (abs(dx) <= 32767 && abs(dy) <= 32767)
            ++compactCount;
    }
    Run relative, absolute;
    bool ok = TimedLazyRun(
        segments,
        [&](int i) {
            NirekXYrel(path[i + 1].first - path[i].first, path[i + 1].second - path[i].second);
        },
        &relative);
    ok = ok
        && TimedLazyRun(
            segments, [&](int i) { NirekXYabs(path[i + 1].first, path[i + 1].second); }, &absolute);
    if (!ok)
        return;
    printf("path %d segments of a rose, %d (%.0f %%) short enough for the compact form\n", segments,
        compactCount, 100.0 * compactCount / segments);
    printf("path relative moves: %llu bytes to the box, %.2f s; absolute 'a' moves: %llu bytes,"
           " %.2f s\n",
        static_cast<unsigned long long>(relative.bytesIn), relative.seconds,
        static_cast<unsigned long long>(absolute.bytesIn), absolute.seconds);
    printf("path compact forms save %llu bytes (%.1f %%) and %.2f s of %.2f s (ratio %.3f)\n",
        static_cast<unsigned long long>(absolute.bytesIn - relative.bytesIn),
        100.0 * static_cast<double>(absolute.bytesIn - relative.bytesIn)
            / static_cast<double>(absolute.bytesIn),
        absolute.seconds - relative.seconds, absolute.seconds, relative.seconds / absolute.seconds);
}

void StartUp(int inits)
{
    FILE* config = fopen((g_root.path + "/qorin/qorin.cfg").c_str(), "w");
    if (config == nullptr)
        return;
    fputs("1 COMPORT \n", config);
    fclose(config);
    std::vector<double> walls;
    uint64_t bytes = 0, attempts = 0;
    for (int i = 0; i < inits; ++i) {
        bench::BoxProcess box;
        if (!StartBox(&box))
            return;
        uint64_t t0 = bench::NowMicros();
        int32_t result = Kap_Init();
        walls.push_back(static_cast<double>(bench::NowMicros() - t0));
        Stats stats = box.Stop();
        NirekRemove();
        if (result != 0) {
            fprintf(stderr, "zrq-bench-wire: Kap_Init returned %d\n", result);
            return;
        }
        bytes = bench::Stat(stats, "bytes_received") + bench::Stat(stats, "bytes_sent");
        attempts = bench::Stat(stats, "sync_attempts");
    }
    // One drain opens the probe and one opens each synchronisation attempt.
    uint64_t drains = 1 + attempts;
    double wire = static_cast<double>(bytes) * kByteMicros;
    double drain = static_cast<double>(drains) * kDrainMicros;
    double median = bench::Percentile(walls, 50);
    printf("init Kap_Init median %.1f ms (min %.1f, max %.1f, n %d)\n", median / 1000,
        bench::Percentile(walls, 0) / 1000, bench::Percentile(walls, 100) / 1000, inits);
    printf("init wire %llu bytes = %.1f ms (%.0f %% of the wall time); %llu drains = %.1f ms"
           " (%.0f %%)\n",
        static_cast<unsigned long long>(bytes), wire / 1000, 100 * wire / median,
        static_cast<unsigned long long>(drains), drain / 1000, 100 * drain / median);
    printf("init predicted sum wire + drains %.1f ms; measured / predicted %.3f\n",
        (wire + drain) / 1000, median / (wire + drain));
}

}  // namespace

int main(int argc, char** argv)
{
    int moves = 2000, segments = 10000, inits = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--moves") == 0)
            moves = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--segments") == 0)
            segments = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--inits") == 0)
            inits = atoi(argv[i + 1]);
    }
    if (!g_root.Make()) {
        fprintf(stderr, "zrq-bench-wire: no scratch directory\n");
        return 1;
    }
    printf("machine: %s\n", bench::MachineLine().c_str());
    Throughput(moves);
    PathSavings(segments);
    StartUp(inits);
    g_root.Remove();
    return 0;
}
