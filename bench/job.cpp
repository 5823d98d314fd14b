// A job on the wire: the rose of the wire benchmark as G-code (10,000
// segments by default), streamed to zrq-boxsim --baud 38400 --pace-input the
// way zrqctl job streams it. Prints (1) host CPU per segment for parsing and
// planning, (2) the run time against the wire time of the bytes that crossed
// the line for the job, (3) the same drawing sent by a naive sender, every
// segment an absolute 'a' move in wait mode, and the speed-up. With --via the
// box is reached through Debian's ser2net on loopback (RFC 2217 or raw TCP),
// or through it behind zrq-bench-relay adding --delay-us each way; the naive
// sender is left out there.
//
// usage: zrq-bench-job [--segments N] [--feed IPM] [--plans N]
//                      [--via local|rfc2217|tcp|relay] [--delay-us N]
//                      [--ser2net-chardelay on|off]   (default off, as recommended)
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/support.h"
#include "tools/job/job.h"
#include "tools/job/run.h"
#include "zrqapi.h"

namespace {

const double kByteSeconds = 10.0 / 38400.0;  // 8N1 at 38400 baud

bench::ScratchRoot g_root;
volatile sig_atomic_t g_never = 0;
std::string g_via = "local";
long g_delayUs = 1000;
bool g_charDelay = false;

using Stats = std::vector<std::pair<std::string, uint64_t>>;

// The wire benchmark's seven-petalled rose, one inch across, 1,800 segments
// a turn, as G-code in inches to the tenth of a mil.
std::string RoseGcode(int segments, double feed)
{
    std::string text = "G20 G90\n";
    char line[96];
    for (int i = 0; i <= segments; ++i) {
        double theta = 2.0 * M_PI * i / 1800.0;
        double r = 0.5 * (0.65 + 0.35 * sin(7.0 * theta));
        snprintf(line, sizeof line, "%s X%.4f Y%.4f%s\n", i == 0 ? "G0" : "G1", r * cos(theta),
            r * sin(theta), i == 1 ? (" F" + std::to_string(static_cast<int>(feed))).c_str() : "");
        text += line;
        if (i == 0)
            text += "M3\n";
    }
    text += "M5\n";
    return text;
}

struct Box {
    bench::BoxProcess process;
    bench::NetworkFront front;
    bool Start()
    {
        if (!process.Start(ZRQ_BOXSIM, g_root.ComLink(1), {"--baud", "38400", "--pace-input"})) {
            fprintf(stderr, "zrq-bench-job: zrq-boxsim did not start\n");
            return false;
        }
        if (g_via != "local") {
            char tty[256] = {};
            ssize_t n = readlink(g_root.ComLink(1).c_str(), tty, sizeof tty - 1);
            std::string url = n > 0 ? front.Start(tty, g_via != "tcp",
                                  g_via == "relay" ? ZRQ_BENCH_RELAY : "", g_delayUs, g_charDelay)
                                    : "";
            if (url.empty()) {
                fprintf(stderr, "zrq-bench-job: ser2net (or the relay) did not start\n");
                front.Stop();
                process.Stop();
                return false;
            }
            setenv("ZRQAPI_COM1", url.c_str(), 1);
        }
        if (Kap_Init() != 0) {
            fprintf(stderr, "zrq-bench-job: Kap_Init failed: %s\n", Kap_GetErrorString());
            process.Stop();
            return false;
        }
        return true;
    }
    // The bytes both ways since the box started.
    Stats Stop()
    {
        Stats stats = process.Stop();
        NirekRemove();
        front.Stop();
        return stats;
    }
};

uint64_t LineBytes(const Stats& s)
{
    return bench::Stat(s, "bytes_received") + bench::Stat(s, "bytes_sent");
}

bool WaitForHalt()
{
    for (int i = 0; i < 60000 && Kap_InMotion(); ++i)
        usleep(1000);
    return !Kap_InMotion();
}

}  // namespace

int main(int argc, char** argv)
{
    int segments = 10000, plans = 5;
    double feed = 400;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--segments") == 0)
            segments = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--feed") == 0)
            feed = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--plans") == 0)
            plans = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--via") == 0)
            g_via = argv[i + 1];
        else if (strcmp(argv[i], "--delay-us") == 0)
            g_delayUs = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--ser2net-chardelay") == 0)
            g_charDelay = strcmp(argv[i + 1], "on") == 0;
    }
    if (!g_root.Make()) {
        fprintf(stderr, "zrq-bench-job: no scratch directory\n");
        return 1;
    }
    FILE* config = fopen((g_root.path + "/qorin/qorin.cfg").c_str(), "w");
    if (config == nullptr)
        return 1;
    fputs("1 COMPORT \n", config);
    fclose(config);
    printf("machine: %s\n", bench::MachineLine().c_str());
    if (g_via != "local")
        printf("via: %s%s, ser2net chardelay %s\n",
            g_via == "relay" ? "rfc2217 through the relay, " : g_via.c_str(),
            g_via == "relay" ? (std::to_string(g_delayUs) + " us each way").c_str() : "",
            g_charDelay ? "on (its default)" : "off");

    // (1) Parsing and planning, on the simulator's axes (12,500 x 10^-8 in).
    std::string gcode = RoseGcode(segments, feed);
    job::PlanOptions options;
    options.machine.stepX = options.machine.stepY = options.machine.stepZ = 12500;
    options.machine.vunitY = 16384;
    job::Program program;
    job::Plan plan;
    std::vector<double> cpu;
    for (int i = 0; i < plans; ++i) {
        std::string error;
        uint64_t t0 = bench::CpuMicros();
        bool ok = job::ParseGcode(gcode, "rose.gcode", {}, &program, &error)
            && job::MakePlan(program, options, &plan);
        cpu.push_back(static_cast<double>(bench::CpuMicros() - t0));
        if (!ok) {
            fprintf(stderr, "zrq-bench-job: the rose did not plan: %s\n", error.c_str());
            return 1;
        }
    }
    printf("job parse+plan %d segments (%zu bytes of G-code): median %.2f us CPU a segment"
           " (min %.2f, n %d)\n",
        segments, gcode.size(), bench::Percentile(cpu, 50) / segments,
        bench::Percentile(cpu, 0) / segments, plans);
    printf("job plan: %ld frames, %ld compact, %ld bytes to the box; estimate %.2f s\n",
        plan.frames, plan.compactFrames, plan.bytesToBox, plan.estimateSeconds);

    // The bytes of a start-up alone, taken off the runs below.
    Box box;
    if (!box.Start())
        return 1;
    uint64_t initBytes = LineBytes(box.Stop());

    // (2) The job as zrqctl streams it.
    if (!box.Start())
        return 1;
    job::Machine machine = job::ReadMachine();
    if (machine.stepX != options.machine.stepX || machine.vunitY != options.machine.vunitY)
        fprintf(stderr, "zrq-bench-job: the box's axes differ from the planned ones\n");
    uint64_t t0 = bench::NowMicros();
    job::RunReport report = job::StreamPlan(plan, &g_never, nullptr, nullptr);
    double runSeconds = static_cast<double>(bench::NowMicros() - t0) / 1e6;
    uint64_t jobBytes = LineBytes(box.Stop()) - initBytes;
    if (report.end != job::RunEnd::Done) {
        fprintf(stderr, "zrq-bench-job: the job did not finish\n");
        return 1;
    }
    double wire = static_cast<double>(jobBytes) * kByteSeconds;
    printf("job run %.2f s; line busy %.2f s (%llu bytes both ways) = %.3f of the run;"
           " estimate/run %.3f\n",
        runSeconds, wire, static_cast<unsigned long long>(jobBytes), wire / runSeconds,
        plan.estimateSeconds / runSeconds);

    // (3) The naive sender: each segment an absolute move, waiting for each
    // acknowledgement before the next.
    if (g_via != "local") {
        g_root.Remove();
        return 0;
    }
    if (!box.Start())
        return 1;
    uint64_t n0 = bench::NowMicros();
    bool failed = false;
    for (const job::Op& op : plan.ops) {
        int32_t result = 0;
        switch (op.kind) {
        case job::OpKind::Speed: result = Kap_VelocityMils(op.value); break;
        case job::OpKind::ToolOn:
            NirekPenDown();
            result = Kap_PenDown();
            break;
        case job::OpKind::ToolOff:
            NirekPenUp();
            result = Kap_PenUp();
            break;
        case job::OpKind::MoveAbs:
        case job::OpKind::Move: result = Kap_MoveXY(op.x, op.y); break;
        default: break;
        }
        failed = failed || result != 0;
    }
    failed = failed || !WaitForHalt();
    double naiveSeconds = static_cast<double>(bench::NowMicros() - n0) / 1e6;
    uint64_t naiveBytes = LineBytes(box.Stop()) - initBytes;
    if (failed) {
        fprintf(stderr, "zrq-bench-job: the naive sender did not finish\n");
        return 1;
    }
    printf("job naive absolute 'a' in wait mode %.2f s (%llu bytes both ways); speed-up of the"
           " job %.2fx\n",
        naiveSeconds, static_cast<unsigned long long>(naiveBytes), naiveSeconds / runSeconds);
    g_root.Remove();
    return 0;
}
