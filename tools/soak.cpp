// zrq-soak: many commands against zrq-boxsim over a pseudo-terminal while the
// box loses acknowledgements at random; half in wait mode, half in lazy mode.
// Proves from the box's own command log that every frame the library sent
// reached the box exactly once, and that the positions add up.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zrqapi.h"

namespace {

struct Options {
    long commands = 100000;
    double loss = 0.01;
    unsigned seed = 1;
    int timeoutTenths = 1;
    std::string boxsim =
#ifdef ZRQ_BOXSIM_PATH
        ZRQ_BOXSIM_PATH;
#else
        "zrq-boxsim";
#endif
    bool keep = false;
};

const char kUsage[]
    = "usage: zrq-soak [options]\n"
      "  --commands N   commands to send (default 100000)\n"
      "  --loss P       chance that the box loses an acknowledgement (default 0.01)\n"
      "  --seed S       seed of the commands and of the losses (default 1)\n"
      "  --timeout T    acknowledgement time-out in tenths of a second (default 1)\n"
      "  --boxsim PATH  the simulator program\n"
      "  --keep         keep the box's log and print where it is\n";

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        char* end = nullptr;
        if (name == "--keep") {
            o->keep = true;
            continue;
        }
        if (value == nullptr)
            return false;
        ++i;
        if (name == "--commands")
            o->commands = strtol(value, &end, 10);
        else if (name == "--loss")
            o->loss = strtod(value, &end);
        else if (name == "--seed")
            o->seed = static_cast<unsigned>(strtoul(value, &end, 10));
        else if (name == "--timeout")
            o->timeoutTenths = static_cast<int>(strtol(value, &end, 10));
        else if (name == "--boxsim") {
            o->boxsim = value;
            continue;
        } else
            return false;
        if (end == value || *end != '\0')
            return false;
    }
    return o->commands > 0 && o->loss >= 0 && o->loss <= 1 && o->timeoutTenths > 0;
}

pid_t StartBox(const Options& o, const std::string& link, const std::string& log)
{
    char seed[32], loss[32];
    snprintf(seed, sizeof seed, "%u", o.seed);
    snprintf(loss, sizeof loss, "%g", o.loss);
    // Fast axes, so that motion never queues up behind the commands.
    std::vector<std::string> args = {o.boxsim, "--link", link, "--log", log, "--drop-ack-prob",
        loss, "--seed", seed, "--speed", "1000000"};
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        execvp(argv[0], argv.data());
        perror("zrq-soak: cannot start the simulator");
        _exit(127);
    }
    struct stat st;
    double until = Now() + 10;
    while (pid > 0 && lstat(link.c_str(), &st) != 0) {
        int status;
        if (waitpid(pid, &status, WNOHANG) != 0 || Now() > until)
            return -1;
        usleep(10000);
    }
    return pid;
}

// The log text without its time stamp; both relative two-axis frames ('C'
// compact, 'r' long) count as one kind.
std::string FrameText(const std::string& line)
{
    size_t blank = line.find(' ');
    if (blank == std::string::npos)
        return "";
    std::string text = line.substr(blank + 1);
    if (text.size() > 2 && (text[0] == 'C' || text[0] == 'r') && text[1] == ' ')
        text = "xy" + text.substr(1);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    char pattern[] = "/tmp/zrq-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("zrq-soak: temporary folder");
        return 1;
    }
    std::string root = pattern;
    std::string link = root + "/dev/com1";
    std::string logPath = root + "/box.log";
    mkdir((root + "/dev").c_str(), 0755);
    setenv("ZRQAPI_ROOT", root.c_str(), 1);

    pid_t box = StartBox(o, link, logPath);
    if (box < 0 || NirekInstall(1) != 0 || NirekSync(0) != 0) {
        fprintf(stderr, "zrq-soak: no simulated box on %s\n", link.c_str());
        if (box > 0)
            kill(box, SIGTERM);
        return 1;
    }
    NirekSetTimeout(o.timeoutTenths);

    std::mt19937 random(o.seed);
    std::uniform_int_distribution<int32_t> step(-8, 8);
    std::map<std::string, long> expected;
    int64_t x = 0, y = 0, z = 0;
    long waitCommands = 0, lazyCommands = 0, callerTimeouts = 0, otherResults = 0;
    double start = Now();
    for (long i = 0; i < o.commands; ++i) {
        bool wait = i < o.commands / 2;
        NirekSetWaitMode(wait ? 1 : 0);
        (wait ? waitCommands : lazyCommands)++;
        int32_t result = 0;
        char text[64];
        switch (i % 3) {
        case 0:
            result = NirekParam(200, static_cast<int32_t>(i));
            snprintf(text, sizeof text, "p 200 %ld", i);
            break;
        case 1: {
            int32_t dx = step(random) * 1024, dy = step(random) * 1024;
            result = NirekXYrel(dx, dy);
            x += dx;
            y += dy;
            snprintf(text, sizeof text, "xy %d %d", dx, dy);
            break;
        }
        default: {
            int32_t dz = step(random) * 1024;
            result = Nirek1rel(0, dz);
            z += dz;
            snprintf(text, sizeof text, "Z 0 %d", dz);
            break;
        }
        }
        expected[text]++;
        if (result == 256)
            ++callerTimeouts;
        else if (result != 0)
            ++otherResults;
        if ((i + 1) % 10000 == 0)
            fprintf(stderr, "zrq-soak: %ld commands, %.0f s\n", i + 1, Now() - start);
    }
    NirekSetWaitMode(1);
    NirekWaitHalt();
    int32_t gotX = static_cast<int32_t>(NirekGetInfo(25, 0));
    int32_t gotY = static_cast<int32_t>(NirekGetInfo(12, 0));
    int32_t gotZ = static_cast<int32_t>(NirekGetInfo(2, 0));
    double elapsed = Now() - start;
    NirekRemove();
    kill(box, SIGTERM);
    int status = 0;
    waitpid(box, &status, 0);

    // The box's account of what it received.
    std::ifstream log(logPath);
    std::map<std::string, long> received;
    long acksDropped = 0, syncRuns = 0, truncated = 0;
    for (std::string line; std::getline(log, line);) {
        std::string text = FrameText(line);
        if (text == "ack dropped")
            ++acksDropped;
        else if (text == "sync run")
            ++syncRuns;
        else if (text.compare(0, 8, "dropped ") == 0)
            ++truncated;
        else if (text.compare(0, 6, "p 200 ") == 0 || text.compare(0, 3, "xy ") == 0
            || text.compare(0, 4, "Z 0 ") == 0)
            received[text]++;
    }
    long lost = 0;
    for (const auto& e : expected) {
        auto r = received.find(e.first);
        lost += labs(e.second - (r == received.end() ? 0 : r->second));
    }
    for (const auto& r : received)
        if (expected.count(r.first) == 0)
            lost += r.second;

    bool positionsRight = gotX == static_cast<int32_t>(x) && gotY == static_cast<int32_t>(y)
        && gotZ == static_cast<int32_t>(z);
    printf("commands sent: %ld (wait mode %ld, lazy mode %ld) in %.1f s, %.0f a second\n",
        o.commands, waitCommands, lazyCommands, elapsed, o.commands / elapsed);
    printf(
        "acknowledgements lost by the box: %ld (loss %g, seed %u)\n", acksDropped, o.loss, o.seed);
    printf("time-outs seen by the caller (wait mode): %ld\n", callerTimeouts);
    printf("resynchronisations: %ld\n", syncRuns > 0 ? syncRuns - 1 : 0);  // less the first
    printf("incomplete frames dropped by the box: %ld\n", truncated);
    if (otherResults != 0)
        printf("unexpected results: %ld\n", otherResults);
    printf("final position: X %d Y %d Z %d, expected X %d Y %d Z %d: %s\n", gotX, gotY, gotZ,
        static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(z),
        positionsRight ? "right" : "WRONG");
    if (o.keep) {
        printf("box log: %s\n", logPath.c_str());
    } else {
        unlink(logPath.c_str());
        rmdir((root + "/dev").c_str());
        rmdir(root.c_str());
    }
    printf("lost: %ld\n", lost);
    return lost == 0 && positionsRight && otherResults == 0 ? 0 : 1;
}
