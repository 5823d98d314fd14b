// zrq-boxsim: serves the box model on a pseudo-terminal, so the library, the
// operator tool or any serial program can talk to a controller that is not
// there.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "sim/box.h"

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal)
{
    g_stopSignal = signal;
}

// SIGUSR1 clears every fault, so a test can end a fault without losing the
// box's positions and parameters.
volatile sig_atomic_t g_clearFaults = 0;

void OnClearFaults(int)
{
    g_clearFaults = 1;
}

// SIGUSR2 writes the SVG of the path so far, so that a test can look at the
// drawing while the box still runs.
volatile sig_atomic_t g_writeSvg = 0;

void OnWriteSvg(int)
{
    g_writeSvg = 1;
}

const char kUsage[]
    = "usage: zrq-boxsim [options]\n"
      "Serves a simulated motion controller box on a new pseudo-terminal and prints\n"
      "the terminal's path. Runs until SIGINT or SIGTERM (or --exit-after-idle).\n"
      "SIGUSR1 clears every fault option; the box keeps its state. SIGUSR2 writes\n"
      "the --svg file of the path so far (replacing it in one rename).\n"
      "\n"
      "Line\n"
      "  --link PATH              also make PATH a symbolic link to the terminal\n"
      "                           (e.g. $ZRQAPI_ROOT/dev/com3); removed on exit\n"
      "  --baud N                 pace replies at N baud, 10 bits a byte (default 38400:\n"
      "                           260 us a byte); 0 = as fast as the terminal takes them\n"
      "  --pace-input             pace the client's bytes too: each reaches the box one\n"
      "                           byte time (at --baud) after the one before, as on a\n"
      "                           real line, instead of the moment it is written\n"
      "  --latency US             microseconds between a byte and its reply (default 0)\n"
      "  --frame-gap MS           drop a frame whose next byte is later than this, in\n"
      "                           milliseconds (default 100; 0 = never)\n"
      "  --exit-after-idle S      exit after S seconds (decimals allowed) without a byte\n"
      "                           in either direction\n"
      "\n"
      "Identity\n"
      "  --id TEXT                stored identifier, at most 12 characters (default ZRQBOX.1)\n"
      "  --step-info W[,W,W,W]    step information word (selector 26) for all channels,\n"
      "                           or per channel in the order Z,Y,R,X; step in 1e-8 inch =\n"
      "                           low16 * 100000 / high16 (default 0x00080001 = 12500)\n"
      "  --vunit N[,N,N,N]        velocity unit (selector 27), likewise (default 16384)\n"
      "  --no-report              selectors 26 and 27 answer 0, so the library reads\n"
      "                           the axes from its MPM file\n"
      "  --speed N                speed before any speed command, steps/s (default 4000)\n"
      "  --homing-speed N         homing speed, steps/s (default 20000)\n"
      "\n"
      "Records\n"
      "  --svg FILE               write the pen-down path as SVG on exit (motor steps)\n"
      "  --log FILE               write the command log, one line per event:\n"
      "                           microseconds since start, then the event\n"
      "  --stats FILE             write the byte and frame counts on exit, one\n"
      "                           \"name value\" a line\n"
      "\n"
      "Faults\n"
      "  --silent                 answer nothing at all\n"
      "  --prompt                 start at the prompt: ignore the protocol until CR '/' CR,\n"
      "                           answer with a few lines ending in \"> \", then serve\n"
      "  --stuck-at-prompt        like --prompt, but never leave the prompt\n"
      "  --drop-ack N             never send the Nth acknowledgement (1 = the first)\n"
      "  --drop-ack-prob P        lose each acknowledgement with probability P (0..1)\n"
      "  --seed N                 seed of the probabilistic faults (default 1)\n"
      "  --ack-delay MS           delay every acknowledgement by MS milliseconds\n"
      "  --echo-n                 answer synchronisation with n instead of n + 1\n"
      "  --sync-from K            leave synchronisation attempts 1..K-1 of each run\n"
      "                           unanswered\n"
      "  --sync-echo-delay MS     delay every synchronisation echo by MS milliseconds\n"
      "  --noise P                put a random byte before each reply byte with\n"
      "                           probability P (0..1)\n"
      "  --homing-fails           acknowledge homing with bit 0 set; the axes stay\n"
      "  --ramp-fails             acknowledge ramp preparation with bit 0 set\n"
      "\n"
      "  --help                   this text\n";

struct Options {
    BoxConfig config;
    std::string link;
    std::string svgPath;
    std::string logPath;
    std::string statsPath;
    bool paceInput = false;
    double exitAfterIdleSeconds = 0.0;
};

uint64_t MonotonicMicros()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool ParseUnsigned(const char* text, uint64_t* value)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool ParseDouble(const char* text, double lo, double hi, double* value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (*end != '\0' || !(v >= lo && v <= hi))
        return false;
    *value = v;
    return true;
}

bool ParseU32(const char* text, uint32_t* value)
{
    uint64_t v;
    if (!ParseUnsigned(text, &v) || v > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// "W" for every channel or "Z,Y,R,X".
bool ParseChannelList(const char* text, uint32_t values[kChannelCount])
{
    std::vector<std::string> parts;
    std::string all = text ? text : "";
    size_t start = 0;
    for (;;) {
        size_t comma = all.find(',', start);
        parts.push_back(
            all.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (parts.size() != 1 && parts.size() != kChannelCount)
        return false;
    uint32_t parsed[kChannelCount];
    for (size_t i = 0; i < parts.size(); ++i)
        if (!ParseU32(parts[i].c_str(), &parsed[i]))
            return false;
    for (int ch = 0; ch < kChannelCount; ++ch)
        values[ch] = parsed[parts.size() == 1 ? 0 : ch];
    return true;
}

// Returns 0 to run, 1 for a usage error, 2 after --help.
int ParseOptions(int argc, char** argv, Options* o)
{
    BoxConfig& c = o->config;
    BoxFaults& f = c.faults;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        bool takesValue = true;
        uint64_t u = 0;
        double d = 0.0;
        if (name == "--help" || name == "-h") {
            fputs(kUsage, stdout);
            return 2;
        } else if (name == "--link") {
            ok = value != nullptr && *value != '\0';
            if (ok)
                o->link = value;
        } else if (name == "--baud") {
            ok = ParseU32(value, &c.baud);
        } else if (name == "--pace-input") {
            takesValue = false;
            o->paceInput = true;
        } else if (name == "--latency") {
            ok = ParseUnsigned(value, &c.replyLatencyMicros);
        } else if (name == "--frame-gap") {
            ok = ParseUnsigned(value, &u) && u <= 3600000;
            c.frameGapMicros = u * 1000;
        } else if (name == "--exit-after-idle") {
            ok = ParseDouble(value, 0.001, 1e7, &o->exitAfterIdleSeconds);
        } else if (name == "--id") {
            ok = value != nullptr && strlen(value) <= 12;
            if (ok)
                c.identifier = value;
        } else if (name == "--step-info") {
            ok = ParseChannelList(value, c.stepInfo);
        } else if (name == "--vunit") {
            ok = ParseChannelList(value, c.velocityUnit);
        } else if (name == "--no-report") {
            takesValue = false;
            for (int ch = 0; ch < kChannelCount; ++ch)
                c.stepInfo[ch] = c.velocityUnit[ch] = 0;
        } else if (name == "--speed") {
            ok = ParseU32(value, &c.defaultSpeed) && c.defaultSpeed > 0;
        } else if (name == "--homing-speed") {
            ok = ParseU32(value, &c.homingSpeed) && c.homingSpeed > 0;
        } else if (name == "--svg") {
            ok = value != nullptr && *value != '\0';
            if (ok)
                o->svgPath = value;
        } else if (name == "--log") {
            ok = value != nullptr && *value != '\0';
            if (ok)
                o->logPath = value;
        } else if (name == "--stats") {
            ok = value != nullptr && *value != '\0';
            if (ok)
                o->statsPath = value;
        } else if (name == "--silent") {
            takesValue = false;
            f.silent = true;
        } else if (name == "--prompt") {
            takesValue = false;
            f.atPrompt = true;
        } else if (name == "--stuck-at-prompt") {
            takesValue = false;
            f.atPrompt = f.stuckAtPrompt = true;
        } else if (name == "--drop-ack") {
            ok = ParseU32(value, &f.dropAckNumber) && f.dropAckNumber > 0;
        } else if (name == "--drop-ack-prob") {
            ok = ParseDouble(value, 0.0, 1.0, &f.dropAckProbability);
        } else if (name == "--seed") {
            ok = ParseU32(value, &c.seed);
        } else if (name == "--ack-delay") {
            ok = ParseUnsigned(value, &u) && u <= 3600000;
            f.ackDelayMicros = u * 1000;
        } else if (name == "--echo-n") {
            takesValue = false;
            f.echoSequence = true;
        } else if (name == "--sync-from") {
            ok = ParseU32(value, &f.syncFromAttempt) && f.syncFromAttempt > 0;
        } else if (name == "--sync-echo-delay") {
            ok = ParseUnsigned(value, &u) && u <= 3600000;
            f.syncEchoDelayMicros = u * 1000;
        } else if (name == "--noise") {
            ok = ParseDouble(value, 0.0, 1.0, &d);
            f.noiseProbability = d;
        } else if (name == "--homing-fails") {
            takesValue = false;
            f.homingFails = true;
        } else if (name == "--ramp-fails") {
            takesValue = false;
            f.rampFails = true;
        } else {
            fprintf(stderr, "zrq-boxsim: unknown option %s (see --help)\n", name.c_str());
            return 1;
        }
        if (!ok) {
            fprintf(stderr, "zrq-boxsim: %s needs a valid value%s%s (see --help)\n", name.c_str(),
                value ? ", not " : "", value ? value : "");
            return 1;
        }
        if (takesValue)
            ++i;
    }
    return 0;
}

bool MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// The link is ours only while it still points at our terminal.
void RemoveLink(const std::string& link, const char* slavePath)
{
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = '\0';
    if (strcmp(target, slavePath) == 0)
        unlink(link.c_str());
}

bool WriteFile(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && ok;
}

struct LogSink {
    FILE* file = nullptr;
};

void StreamLog(void* context, const BoxLogEntry& entry)
{
    LogSink* sink = static_cast<LogSink*>(context);
    if (sink->file == nullptr)
        return;
    fprintf(sink->file, "%llu %s\n", static_cast<unsigned long long>(entry.atMicros),
        entry.text.c_str());
    fflush(sink->file);
}

int OpenTerminal(int* master, int* slave, std::string* slavePath)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) {
        perror("zrq-boxsim: pseudo-terminal");
        return 0;
    }
    const char* name = ptsname(*master);
    if (name == nullptr) {
        perror("zrq-boxsim: ptsname");
        return 0;
    }
    *slavePath = name;
    // Holding the slave open keeps the master readable between clients (a
    // master without any slave open only ever reports a hang-up), and makes
    // the line raw before a client opens it: an echoing line would hand the
    // box its own replies.
    *slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0) {
        perror("zrq-boxsim: open terminal");
        return 0;
    }
    termios tio;
    if (tcgetattr(*slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B38400);
        cfsetospeed(&tio, B38400);
        tcsetattr(*slave, TCSANOW, &tio);
    }
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    return 1;
}

void ClearFaultsIfAsked(Box* box)
{
    if (g_clearFaults != 0) {
        g_clearFaults = 0;
        box->Faults() = BoxFaults();
    }
}

void WriteSvgIfAsked(const Options& o, const Box& box)
{
    if (g_writeSvg == 0)
        return;
    g_writeSvg = 0;
    if (o.svgPath.empty())
        return;
    // Written beside and renamed over, so that a reader never sees half a file.
    std::string part = o.svgPath + ".part";
    if (!WriteFile(part, box.Svg()) || rename(part.c_str(), o.svgPath.c_str()) != 0)
        fprintf(stderr, "zrq-boxsim: cannot write %s: %s\n", o.svgPath.c_str(), strerror(errno));
}

// What crossed the line, for --stats.
struct LineCounts {
    uint64_t bytesSent = 0;
};

int Serve(const Options& o, int master, Box* box, LineCounts* line)
{
    const uint64_t start = MonotonicMicros();
    const uint64_t idleMicros = static_cast<uint64_t>(o.exitAfterIdleSeconds * 1e6);
    const uint32_t baud = o.config.baud;
    const uint64_t byteMicros = o.paceInput && baud != 0 ? 10000000ull / baud : 0;
    uint64_t lastActivity = 0;
    std::vector<uint8_t> outgoing;  // due, but not yet taken by the terminal
    // A client that never reads must not make us hoard its replies forever.
    const size_t kOutgoingLimit = 1 << 16;
    // With --pace-input: bytes written by the client but still on the wire,
    // each with the time its stop bit reaches the box.
    struct InFlight {
        uint64_t due;
        uint8_t value;
    };
    std::deque<InFlight> incoming;
    uint64_t inputLineFree = 0;
    const uint64_t kSpinMicros = 100;

    while (g_stopSignal == 0) {
        uint64_t now = MonotonicMicros() - start;
        ClearFaultsIfAsked(box);
        WriteSvgIfAsked(o, *box);

        while (!incoming.empty() && incoming.front().due <= now) {
            box->Receive(&incoming.front().value, 1, incoming.front().due);
            incoming.pop_front();
        }

        uint8_t buffer[512];
        size_t due = box->Transmit(now, buffer, sizeof buffer);
        if (due > 0) {
            lastActivity = now;
            if (outgoing.size() + due <= kOutgoingLimit)
                outgoing.insert(outgoing.end(), buffer, buffer + due);
        }
        if (!outgoing.empty()) {
            ssize_t n = write(master, outgoing.data(), outgoing.size());
            if (n > 0) {
                outgoing.erase(outgoing.begin(), outgoing.begin() + n);
                line->bytesSent += static_cast<uint64_t>(n);
            }
        }

        if (idleMicros != 0 && now - lastActivity >= idleMicros && incoming.empty()) {
            fprintf(stderr, "zrq-boxsim: idle for %.3f s, exiting\n", o.exitAfterIdleSeconds);
            return 0;
        }

        // Sleep until the next reply or paced byte is due, a byte arrives, or
        // the idle time ends; in microseconds, since a byte lasts 260 us.
        uint64_t wait = 100000;
        uint64_t nextDue;
        if (!outgoing.empty())
            wait = 1000;
        else if (box->NextDue(&nextDue))
            wait = nextDue > now ? nextDue - now : 0;
        if (!incoming.empty())
            wait = std::min<uint64_t>(
                wait, incoming.front().due > now ? incoming.front().due - now : 0);
        if (idleMicros != 0 && lastActivity + idleMicros > now)
            wait = std::min<uint64_t>(wait, lastActivity + idleMicros - now);
        wait = std::min<uint64_t>(wait, 100000);
        // With paced input the line is timed to the microsecond: a timer
        // wake-up comes tens of microseconds late, a fifth of a byte time, so
        // the last stretch before a paced byte is spun instead. Otherwise the
        // wait keeps its whole milliseconds, whose slack the existing clients
        // were measured with.
        if (byteMicros != 0 && wait < kSpinMicros)
            wait = 0;
        else if (byteMicros != 0)
            wait -= kSpinMicros;
        else
            wait = (wait + 999) / 1000 * 1000;
        pollfd pfd = {master, POLLIN, 0};
        timespec timeout;
        timeout.tv_sec = static_cast<time_t>(wait / 1000000);
        timeout.tv_nsec = static_cast<long>(wait % 1000000) * 1000L;
        int ready = ppoll(&pfd, 1, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            perror("zrq-boxsim: poll");
            return 1;
        }
        if (ready == 0)
            continue;
        // A byte that arrived after SIGUSR1 must meet the cleared box.
        ClearFaultsIfAsked(box);
        if (pfd.revents & POLLIN) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                now = MonotonicMicros() - start;
                lastActivity = now;
                if (byteMicros == 0) {
                    box->Receive(buffer, static_cast<size_t>(n), now);
                } else {
                    for (ssize_t k = 0; k < n; ++k) {
                        inputLineFree = std::max(now, inputLineFree) + byteMicros;
                        incoming.push_back({inputLineFree, buffer[k]});
                    }
                }
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
                perror("zrq-boxsim: read");
                return 1;
            }
        }
        // No client on the line: wait for one without spinning.
        if (pfd.revents & (POLLHUP | POLLERR))
            usleep(20000);
    }
    fprintf(
        stderr, "zrq-boxsim: %s, exiting\n", g_stopSignal == SIGINT ? "interrupted" : "terminated");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0)
        return parsed == 2 ? 0 : 2;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = OnClearFaults;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = OnWriteSvg;
    sigaction(SIGUSR2, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    LogSink sink;
    if (!options.logPath.empty()) {
        sink.file = fopen(options.logPath.c_str(), "w");
        if (sink.file == nullptr) {
            fprintf(stderr, "zrq-boxsim: cannot write %s: %s\n", options.logPath.c_str(),
                strerror(errno));
            return 1;
        }
    }

    int master = -1, slave = -1;
    std::string slavePath;
    int status = 1;
    bool linked = false;
    LineCounts line;
    Box box(options.config);
    box.onLog = StreamLog;
    box.onLogContext = &sink;

    if (OpenTerminal(&master, &slave, &slavePath)) {
        status = 0;
        if (!options.link.empty()) {
            struct stat st;
            // Replace a stale link from an earlier run, but never a real file.
            if (lstat(options.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
                fprintf(stderr, "zrq-boxsim: %s exists and is no link\n", options.link.c_str());
                status = 1;
            } else {
                unlink(options.link.c_str());
                if (!MakeParents(options.link)
                    || symlink(slavePath.c_str(), options.link.c_str()) != 0) {
                    fprintf(stderr, "zrq-boxsim: cannot link %s: %s\n", options.link.c_str(),
                        strerror(errno));
                    status = 1;
                } else {
                    linked = true;
                }
            }
        }
        if (status == 0) {
            printf("%s\n", slavePath.c_str());
            fflush(stdout);
            // Paced input is timed to the microsecond; the default 50 us
            // timer slack would stretch every byte time by a fifth.
            if (options.paceInput)
                prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            status = Serve(options, master, &box, &line);
        }
    }

    // Every way out leaves the records behind and the link gone.
    if (linked)
        RemoveLink(options.link, slavePath.c_str());
    if (!options.svgPath.empty() && !WriteFile(options.svgPath, box.Svg())) {
        fprintf(
            stderr, "zrq-boxsim: cannot write %s: %s\n", options.svgPath.c_str(), strerror(errno));
        status = 1;
    }
    if (!options.statsPath.empty()) {
        const BoxCounters& c = box.Counters();
        char text[512];
        snprintf(text, sizeof text,
            "bytes_received %llu\nbytes_sent %llu\nframes %llu\nacks_sent %llu\n"
            "sync_attempts %llu\nqueries %llu\ntruncated_frames %llu\nemergency_stops %llu\n"
            "held_replies_dropped %llu\n",
            static_cast<unsigned long long>(c.bytesReceived),
            static_cast<unsigned long long>(line.bytesSent),
            static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.acksSent),
            static_cast<unsigned long long>(c.syncAttempts),
            static_cast<unsigned long long>(c.queries),
            static_cast<unsigned long long>(c.truncatedFrames),
            static_cast<unsigned long long>(c.emergencyStops),
            static_cast<unsigned long long>(c.heldRepliesDropped));
        if (!WriteFile(options.statsPath, text)) {
            fprintf(stderr, "zrq-boxsim: cannot write %s: %s\n", options.statsPath.c_str(),
                strerror(errno));
            status = 1;
        }
    }
    if (sink.file != nullptr)
        fclose(sink.file);
    if (slave >= 0)
        close(slave);
    if (master >= 0)
        close(master);
    return status;
}
