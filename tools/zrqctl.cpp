// zrqctl: the operator's command line over the public API. The library keeps
// its state in the process, so one run takes a whole sequence of commands:
//   zrqctl init velocity 20 move-xy 1in 0.5in pos finish
// Everything on the command line (and in every `run` file) is parsed before
// the first call, so bad input never leaves the box half-driven.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/zrqctl/job.h"
#include "zrqapi.h"

#ifndef ZRQ_VERSION_TEXT
#define ZRQ_VERSION_TEXT "unknown"
#endif

namespace {

// sysexits.h values.
const int kExitUsage = 64;
const int kExitNoInput = 66;
const int kExitIoError = 74;
const int kExitTempFail = 75;

const int kMaxRunDepth = 8;
const int kWaitPollMicros = 100000;
const int kWaitLimitSeconds = 600;

enum class Unit { Inch, Millimetre, TenthMil };

struct Options {
    Unit units = Unit::Inch;
    bool waitMoves = false;
    bool verbose = false;
    bool progressLine = false;  // standard output is a terminal
};

Options g_options;

// ---- numbers and distances ----

// A distance as the operator writes it: "1.5in", "12.7mm", "250mil" or a bare
// number of tenths of a mil. Rounds to the nearest tenth-mil, halves away
// from zero. Exact rational arithmetic: 0.1in must be exactly 1000.
bool ParseDistance(const std::string& text, int32_t* tenthMils, std::string* why)
{
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    __int128 mantissa = 0;
    int digitsSeen = 0;
    int digits = 0;  // significant ones
    int fractionDigits = 0;
    bool point = false;
    for (; at < text.size(); ++at) {
        char c = text[at];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        ++digitsSeen;
        if (mantissa != 0 || c != '0')
            ++digits;
        if (digits > 18) {
            *why = "too many digits";
            return false;
        }
        mantissa = mantissa * 10 + (c - '0');
        if (point)
            ++fractionDigits;
    }
    if (digitsSeen == 0) {
        *why = "not a number";
        return false;
    }
    std::string suffix = text.substr(at);
    __int128 numerator = 1, denominator = 1;
    if (suffix.empty()) {
    } else if (strcasecmp(suffix.c_str(), "in") == 0) {
        numerator = 10000;
    } else if (strcasecmp(suffix.c_str(), "mil") == 0) {
        numerator = 10;
    } else if (strcasecmp(suffix.c_str(), "mm") == 0) {
        numerator = 50000;  // 1 mm = 100000/254 tenth-mils
        denominator = 127;
    } else {
        *why = "unknown unit '" + suffix + "' (use in, mm, mil, or none for tenths of a mil)";
        return false;
    }
    for (int i = 0; i < fractionDigits; ++i)
        denominator *= 10;
    __int128 scaled = mantissa * numerator;
    __int128 rounded = (scaled + denominator / 2) / denominator;
    if (negative)
        rounded = -rounded;
    if (rounded > INT32_MAX || rounded < INT32_MIN) {
        *why = "out of range (more than 32 bits of tenths of a mil)";
        return false;
    }
    *tenthMils = static_cast<int32_t>(rounded);
    return true;
}

// Decimal, or hexadecimal after 0x (which may use all 32 bits).
bool ParseInteger(const std::string& text, int32_t* value, std::string* why)
{
    const char* begin = text.c_str();
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) {
        *why = "not a whole number";
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(begin, &end, hex ? 16 : 10);
    if (end == begin || *end != '\0') {
        *why = "not a whole number";
        return false;
    }
    if (errno == ERANGE
        || (hex ? (parsed < 0 || parsed > 0xFFFFFFFFll)
                : (parsed < INT32_MIN || parsed > INT32_MAX))) {
        *why = "out of range (32 bits)";
        return false;
    }
    *value = static_cast<int32_t>(static_cast<uint32_t>(parsed));
    return true;
}

std::string FormatDistance(int32_t tenthMils)
{
    char text[48];
    long long v = tenthMils;
    const char* sign = v < 0 ? "-" : "";
    long long magnitude = v < 0 ? -v : v;
    switch (g_options.units) {
    case Unit::TenthMil: snprintf(text, sizeof text, "%lld", v); break;
    case Unit::Inch:
        snprintf(text, sizeof text, "%s%lld.%04lld", sign, magnitude / 10000, magnitude % 10000);
        break;
    case Unit::Millimetre: {
        long long hundredThousandths = magnitude * 254;  // of a millimetre
        snprintf(text, sizeof text, "%s%lld.%05lld", sign, hundredThousandths / 100000,
            hundredThousandths % 100000);
        break;
    }
    }
    return text;
}

const char* UnitName()
{
    switch (g_options.units) {
    case Unit::Inch: return "in";
    case Unit::Millimetre: return "mm";
    case Unit::TenthMil: return "tmil";
    }
    return "";
}

// ---- the command table ----

enum ArgKind { kDistance, kInteger, kWord };

struct ArgSpec {
    ArgKind kind;
    const char* name;
    const char* words = nullptr;  // kWord: blank-separated choices, value = index
    int64_t min = INT32_MIN;      // kInteger: accepted range
    int64_t max = UINT32_MAX;
};

struct Command;
typedef int (*Handler)(const Command& command);

struct CommandSpec {
    const char* name;
    std::vector<ArgSpec> args;
    Handler run;
    const char* help;
};

struct Command {
    const CommandSpec* spec = nullptr;
    std::vector<int32_t> args;
    bool hasCom = false;  // init --com N
    std::string where;    // "" or "FILE:LINE: " for messages
    std::string text;     // as written, for --verbose
    std::shared_ptr<JobRequest> job;
};

// ---- results ----

int Fail(const Command& command, int32_t code, const char* message)
{
    if (code == ZRQ_ACK_TIMEOUT) {
        // The library's message, if any, is only what the call set on entry.
        fprintf(stderr, "zrqctl: %s%s: the box did not acknowledge in time\n",
            command.where.c_str(), command.spec->name);
        return kExitTempFail;
    }
    fprintf(stderr, "zrqctl: %s%s: %s\n", command.where.c_str(), command.spec->name,
        message ? message : "failed");
    return code > 0 && code < 256 ? code : 1;
}

// A Kap_ result: 0, a code with its message in Kap_GetErrorString, or 256.
int KapResult(const Command& command, int32_t code)
{
    if (code == 0)
        return 0;
    int status = Fail(command, code, Kap_GetErrorString());
    if (code == ZRQ_NO_CONFIG) {
        const char* root = getenv("ZRQAPI_ROOT");
        fprintf(stderr,
            "zrqctl: (here those are %s/qorin/qorin.cfg and %s/qv/main.cfg; --root DIR "
            "changes the root, init --com N skips the files)\n",
            root && *root ? root : "/etc/zrqapi", root && *root ? root : "/etc/zrqapi");
    }
    return status;
}

// A Nirek result: 0, or 256 after a lost acknowledgement.
int NirekResult(const Command& command, int32_t code)
{
    return code == 0 ? 0 : Fail(command, code, nullptr);
}

// The Nirek queries would wait out their time-outs on a closed channel.
int NeedLink(const Command& command)
{
    if (NirekIsInstalled())
        return 0;
    return Fail(command, ZRQ_NOT_INITIALIZED, "Not initialized (run init first)");
}

void Said(const Command& command, const std::string& what)
{
    if (g_options.verbose)
        printf("%s: %s\n", command.spec->name, what.c_str());
}

// ---- waiting for the box ----

struct Target {
    enum Kind { None, XY, XYZ, Z, R } kind = None;
    int32_t x = 0, y = 0, z = 0, r = 0;
};

Target g_target;

void SleepMicros(long micros)
{
    struct timespec ts = {micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Where the axes of the last move are, and how far they still have to go.
std::string ProgressText()
{
    int32_t x = 0, y = 0, z = 0, r = 0;
    double left = 0;
    std::string text;
    switch (g_target.kind) {
    case Target::None:
    case Target::XY:
    case Target::XYZ:
        Kap_GetRtPos(&x, &y, nullptr);
        if (g_target.kind == Target::XYZ)
            Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "X=" + FormatDistance(x) + " Y=" + FormatDistance(y);
        if (g_target.kind == Target::XYZ)
            text += " Z=" + FormatDistance(z);
        left = hypot(static_cast<double>(g_target.x) - x, static_cast<double>(g_target.y) - y);
        if (g_target.kind == Target::XYZ)
            left = hypot(left, static_cast<double>(g_target.z) - z);
        break;
    case Target::Z:
        Kap_GetMachinePosition(nullptr, nullptr, &z);
        text = "Z=" + FormatDistance(z);
        left = fabs(static_cast<double>(g_target.z) - z);
        break;
    case Target::R:
        Kap_GetRotorPosition(&r);
        text = "R=" + FormatDistance(r);
        left = fabs(static_cast<double>(g_target.r) - r);
        break;
    }
    text += std::string(" ") + UnitName();
    if (g_target.kind != Target::None)
        text += ", " + FormatDistance(static_cast<int32_t>(llround(left))) + " to go";
    return text;
}

int WaitUntilStopped(const Command& command)
{
    double start = Now();
    double lastLine = start;
    bool shown = false;
    while (Kap_InMotion()) {
        double now = Now();
        if (now - start > kWaitLimitSeconds) {
            if (shown && g_options.progressLine)
                printf("\n");
            fprintf(stderr, "zrqctl: %s%s: still in motion after %d s\n", command.where.c_str(),
                command.spec->name, kWaitLimitSeconds);
            return kExitTempFail;
        }
        if (g_options.progressLine) {
            printf("\r\033[K  moving: %s", ProgressText().c_str());
            fflush(stdout);
            shown = true;
        } else if (now - lastLine >= 1.0) {
            printf("  moving: %s\n", ProgressText().c_str());
            fflush(stdout);
            lastLine = now;
        }
        SleepMicros(kWaitPollMicros);
    }
    if (shown)
        printf("\r\033[K");
    if (shown || g_options.verbose)
        printf("  stopped: %s\n", ProgressText().c_str());
    fflush(stdout);
    return 0;
}

int AfterMove(const Command& command, int code)
{
    if (code != 0 || !g_options.waitMoves)
        return code;
    return WaitUntilStopped(command);
}

// ---- handlers ----

int RunInit(const Command& c)
{
    int32_t code = c.hasCom ? Kap_InitOnCom(c.args[0]) : Kap_Init();
    if (code == 0)
        Said(c, "controller ready");
    return KapResult(c, code);
}

int RunFinish(const Command& c)
{
    Kap_Finish();
    Said(c, "link closed");
    return 0;
}

int RunMoveXY(const Command& c)
{
    g_target.kind = Target::XY;
    g_target.x = c.args[0];
    g_target.y = c.args[1];
    return AfterMove(c, KapResult(c, Kap_MoveXY(c.args[0], c.args[1])));
}

int RunMoveXYZ(const Command& c)
{
    g_target.kind = Target::XYZ;
    g_target.x = c.args[0];
    g_target.y = c.args[1];
    g_target.z = c.args[2];
    return AfterMove(c, KapResult(c, Kap_MoveXYZ(c.args[0], c.args[1], c.args[2])));
}

int RunMoveZ(const Command& c)
{
    g_target.kind = Target::Z;
    g_target.z = c.args[0];
    return AfterMove(c, KapResult(c, Kap_MoveZ(c.args[0])));
}

int RunMoveR(const Command& c)
{
    g_target.kind = Target::R;
    g_target.r = c.args[0];
    return AfterMove(c, KapResult(c, Kap_MoveR(c.args[0])));
}

// The pen command moves the pen now and also sets the state later moves are
// made with; the Kap_ call alone would let the next move put the pen down again.
int RunPen(const Command& c)
{
    if (c.args[0] == 0) {
        NirekPenUp();
        return KapResult(c, Kap_PenUp());
    }
    NirekPenDown();
    return KapResult(c, Kap_PenDown());
}

int RunVelocity(const Command& c)
{
    return KapResult(c, Kap_Velocity(c.args[0]));
}

int RunSpacing(const Command& c)
{
    return KapResult(c, Kap_SetSampleSpacing(c.args[0], c.args[1]));
}

int RunHome(const Command& c)
{
    int code = KapResult(c, Kap_Home());
    if (code == 0)
        g_target = Target();  // where home is, only the box knows
    return AfterMove(c, code);
}

int RunLaser(const Command& c)
{
    return KapResult(c, Kap_LaserOn(c.args[0] == 0 ? 1 : 0));
}

int RunJog(const Command& c)
{
    int32_t (*begin[])() = {Kap_JogBeginX, Kap_JogBeginY, Kap_JogBeginZ, Kap_JogBeginR};
    return KapResult(c, begin[c.args[0]]());
}

int RunJogPos(const Command& c)
{
    return KapResult(c, Kap_JogSetPosition(c.args[0]));
}

int RunJogEnd(const Command& c)
{
    return KapResult(c, Kap_JogEnd());
}

int RunPos(const Command& c)
{
    int32_t x = 0, y = 0, z = 0;
    int code = KapResult(c, Kap_GetMachinePosition(&x, &y, &z));
    if (code == 0)
        printf("position X=%s Y=%s Z=%s %s\n", FormatDistance(x).c_str(), FormatDistance(y).c_str(),
            FormatDistance(z).c_str(), UnitName());
    return code;
}

int RunRtPos(const Command& c)
{
    int32_t x = 0, y = 0, z = 0;
    int code = KapResult(c, Kap_GetRtPos(&x, &y, &z));
    if (code == 0)
        printf("rt-position X=%s Y=%s Z=%s %s\n", FormatDistance(x).c_str(),
            FormatDistance(y).c_str(), FormatDistance(z).c_str(), UnitName());
    return code;
}

int RunRotor(const Command& c)
{
    int32_t r = 0;
    int code = KapResult(c, Kap_GetRotorPosition(&r));
    if (code == 0)
        printf("rotor R=%s %s\n", FormatDistance(r).c_str(), UnitName());
    return code;
}

int RunWait(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    return WaitUntilStopped(c);
}

int RunEstop(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    if (NirekEstop() != 0)
        return Fail(c, 1, "emergency stop sent, but the link did not synchronise after it");
    Said(c, "emergency stop sent");
    return 0;
}

int RunState(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    printf("state %s\n", NirekGetState() ? "busy" : "idle");
    return 0;
}

int RunInfo(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    uint32_t value = NirekGetInfo(c.args[0], c.args[1]);
    printf("info %d %d = %u (0x%08X)\n", c.args[0], c.args[1], value, value);
    return 0;
}

int RunId(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    char text[80] = {};
    NirekGetSavedID(text);
    printf("id %s\n", text);
    return 0;
}

int RunParam(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    return NirekResult(c, NirekParam(c.args[0], c.args[1]));
}

int RunSync(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    if (NirekSync(0) != 0)
        return Fail(c, 1, "the link did not synchronise");
    Said(c, "link synchronised");
    return 0;
}

int RunTerminal(const Command& c)
{
    fflush(stdout);
    int32_t result = Kap_DumbTerminal(c.args[0]);
    if (result != 0) {
        fprintf(
            stderr, "zrqctl: %sterminal: could not write to standard output\n", c.where.c_str());
        return kExitIoError;
    }
    return 0;
}

int RunTrace(const Command& c)
{
    Kap_SetDebugMask(c.args[0] == 0 ? 3 : 0);
    return 0;
}

int RunMode(const Command& c)
{
    if (c.args[0] == 0)
        Kap_2dMode();
    else
        Kap_3dMode();
    return 0;
}

int RunWaitMode(const Command& c)
{
    Kap_SetWaitMode(c.args[0] == 0 ? 1 : 0);
    return 0;
}

int RunTimeout(const Command& c)
{
    NirekSetTimeout(c.args[0]);
    return 0;
}

int RunVersion(const Command&)
{
    int32_t major = 0, minor = 0;
    Kap_GetApiVersion(&major, &minor);
    printf("zrqctl %s, API %d.%d\n", ZRQ_VERSION_TEXT, major, minor);
    return 0;
}

int RunJob(const Command& c)
{
    JobEnv env = {ParseDistance, UnitName(), g_options.progressLine};
    return RunJobCommand(*c.job, env, c.where);
}

const CommandSpec kCommands[] = {
    {"init", {}, RunInit, "[--com N]  open and configure (port from the configuration file)"},
    {"finish", {}, RunFinish, "close the link"},
    {"move-xy", {{kDistance, "X"}, {kDistance, "Y"}}, RunMoveXY, "X Y  move to (X, Y)"},
    {"move-xyz", {{kDistance, "X"}, {kDistance, "Y"}, {kDistance, "Z"}}, RunMoveXYZ,
        "X Y Z  move to (X, Y, Z)"},
    {"move-z", {{kDistance, "Z"}}, RunMoveZ, "Z  move the Z axis"},
    {"move-r", {{kDistance, "R"}}, RunMoveR, "R  move the R axis"},
    {"pen", {{kWord, "up|down", "up down"}}, RunPen, "up|down"},
    {"velocity", {{kInteger, "IPM", nullptr, 0, INT32_MAX}}, RunVelocity,
        "IPM  speed in inches per minute"},
    {"spacing", {{kInteger, "COUNT", nullptr, 0, 65535}, {kDistance, "DIST"}}, RunSpacing,
        "COUNT DIST  sample spacing"},
    {"home", {}, RunHome, "home the machine"},
    {"laser", {{kWord, "on|off", "on off"}}, RunLaser, "on|off  pulse output"},
    {"jog", {{kWord, "x|y|z|r", "x y z r"}}, RunJog, "x|y|z|r  begin a jog of one axis"},
    {"jog-pos", {{kDistance, "DIST"}}, RunJogPos, "DIST  set the running jog's position"},
    {"jog-end", {}, RunJogEnd, "end the jog"},
    {"pos", {}, RunPos, "print the machine position"},
    {"rtpos", {}, RunRtPos, "print the real-time position"},
    {"rotor", {}, RunRotor, "print the R position"},
    {"wait", {}, RunWait, "wait until the box is no longer in motion"},
    {"estop", {}, RunEstop, "emergency stop"},
    {"state", {}, RunState, "print busy or idle"},
    {"info", {{kInteger, "SELECTOR"}, {kInteger, "INDEX"}}, RunInfo,
        "SELECTOR INDEX  print a controller information value"},
    {"id", {}, RunId, "print the controller's identifier"},
    {"param", {{kInteger, "NUMBER"}, {kInteger, "VALUE"}}, RunParam,
        "NUMBER VALUE  set a controller parameter"},
    {"sync", {}, RunSync, "resynchronise the link"},
    {"terminal", {{kInteger, "N"}}, RunTerminal, "N  dumb terminal on COM N (Ctrl-A quits)"},
    {"trace", {{kWord, "on|off", "on off"}}, RunTrace, "on|off  library trace on stdout"},
    {"mode", {{kWord, "2d|3d", "2d 3d"}}, RunMode, "2d|3d  what the third axis slot holds"},
    {"wait-mode", {{kWord, "on|off", "on off"}}, RunWaitMode,
        "on|off  wait for each acknowledgement (init turns it on)"},
    {"timeout", {{kInteger, "TENTHS", nullptr, 1, INT32_MAX}}, RunTimeout,
        "TENTHS  acknowledgement time-out, tenths of a second (default 600)"},
    {"version", {}, RunVersion, "print versions"},
    {"job", {}, RunJob, JobCommandHelp()},
};

const CommandSpec* FindCommand(const std::string& name)
{
    for (const CommandSpec& spec : kCommands)
        if (name == spec.name)
            return &spec;
    return nullptr;
}

// ---- parsing ----

const char kUsageLine[] = "usage: zrqctl [options] COMMAND [ARGS] [COMMAND [ARGS] ...]";

void PrintHelp()
{
    printf("%s\n\n", kUsageLine);
    printf("Drives the controller box through the library; one run holds the library's\n"
           "state, so put every step in one command line (or in a file for `run`).\n\n"
           "Options (before the first command):\n"
           "  --units in|mm|tmil  unit of printed positions (default in)\n"
           "  --root DIR          configuration root for this run (sets ZRQAPI_ROOT)\n"
           "  --wait              after each move and home, wait for the box to stop\n"
           "  -v, --verbose       show each command and what it did\n"
           "  -h, --help          this text\n\n"
           "Distances: a bare number is tenths of a mil (0.0001 in); the suffixes in, mm\n"
           "and mil convert (1in = 10000, 1mm = 393.7, 1mil = 10), rounded to the nearest\n"
           "tenth of a mil: 0.5in, -12.7mm, 250mil, 3937.\n\n"
           "Commands:\n");
    for (const CommandSpec& spec : kCommands)
        printf("  %-9s %s\n", spec.name, spec.help);
    printf("  %-9s %s\n", "run", "FILE  commands from FILE, one per line, # comments");
    printf("\nExit status: 0, the library's result code (1..11), 75 when the box did not\n"
           "acknowledge in time, 64 for bad usage.\n");
}

struct ParseError {
    std::string message;
    int status = kExitUsage;
};

bool IsCommandName(const std::string& token)
{
    return FindCommand(token) != nullptr || token == "run";
}

bool ParseTokens(const std::vector<std::string>& tokens, const std::string& where, bool oneCommand,
    int depth, std::vector<Command>* out, ParseError* error);

bool ParseFile(const std::string& path, int depth, std::vector<Command>* out, ParseError* error)
{
    if (depth > kMaxRunDepth) {
        error->message = "run: files nest deeper than " + std::to_string(kMaxRunDepth);
        return false;
    }
    std::ifstream file(path == "-" ? "/dev/stdin" : path);
    if (!file) {
        error->message = "run: cannot read " + path + ": " + strerror(errno);
        error->status = kExitNoInput;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;)
            tokens.push_back(word);
        if (tokens.empty())
            continue;
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (!ParseTokens(tokens, where, true, depth, out, error))
            return false;
    }
    return true;
}

bool ParseArg(const Command& command, const ArgSpec& arg, const std::string& token, int32_t* value,
    std::string* why)
{
    switch (arg.kind) {
    case kDistance: return ParseDistance(token, value, why);
    case kInteger:
        if (!ParseInteger(token, value, why))
            return false;
        // Hexadecimal may name all 32 bits; a range narrower than that is checked on the number.
        if (arg.max <= INT32_MAX && (*value < arg.min || *value > arg.max)) {
            *why = "must be " + std::to_string(arg.min) + " to " + std::to_string(arg.max);
            return false;
        }
        return true;
    case kWord: {
        std::istringstream words(arg.words);
        int index = 0;
        for (std::string word; words >> word; ++index)
            if (token == word) {
                *value = index;
                return true;
            }
        *why = std::string("must be ") + arg.name;
        return false;
    }
    }
    (void)command;
    return false;
}

bool ParseTokens(const std::vector<std::string>& tokens, const std::string& where, bool oneCommand,
    int depth, std::vector<Command>* out, ParseError* error)
{
    size_t i = 0;
    while (i < tokens.size()) {
        size_t first = i;
        const std::string& name = tokens[i++];
        if (name == "run") {
            if (i >= tokens.size()) {
                error->message = where + "run: missing FILE";
                return false;
            }
            if (!ParseFile(tokens[i++], depth + 1, out, error))
                return false;
        } else {
            const CommandSpec* spec = FindCommand(name);
            if (spec == nullptr) {
                error->message = where + "unknown command '" + name + "'";
                return false;
            }
            Command command;
            command.spec = spec;
            command.where = where;
            if (spec->run == RunInit && i < tokens.size()
                && tokens[i].compare(0, 5, "--com") == 0) {
                std::string value;
                if (tokens[i] == "--com") {
                    ++i;
                    if (i >= tokens.size()) {
                        error->message = where + "init: --com needs a port number";
                        return false;
                    }
                    value = tokens[i++];
                } else if (tokens[i].compare(0, 6, "--com=") == 0) {
                    value = tokens[i++].substr(6);
                } else {
                    error->message = where + "init: unknown option '" + tokens[i] + "'";
                    return false;
                }
                int32_t port = 0;
                std::string why;
                if (!ParseInteger(value, &port, &why)) {
                    error->message = where + "init: --com '" + value + "': " + why;
                    return false;
                }
                command.hasCom = true;
                command.args.push_back(port);
            }
            if (spec->run == RunJob) {
                JobEnv env = {ParseDistance, UnitName(), false};
                std::string why;
                if (!ParseJobCommand(tokens, &i, env, &command.job, &why, &error->status)) {
                    error->message = where + why;
                    return false;
                }
            }
            for (const ArgSpec& arg : spec->args) {
                if (i >= tokens.size() || (arg.kind != kWord && IsCommandName(tokens[i]))) {
                    error->message = where + name + ": missing " + arg.name;
                    return false;
                }
                int32_t value = 0;
                std::string why;
                if (!ParseArg(command, arg, tokens[i], &value, &why)) {
                    std::string label = arg.kind == kWord ? "" : std::string(arg.name) + " ";
                    error->message = where + name + ": " + label + "'" + tokens[i] + "': " + why;
                    return false;
                }
                command.args.push_back(value);
                ++i;
            }
            for (size_t k = first; k < i; ++k)
                command.text += (k == first ? "" : " ") + tokens[k];
            out->push_back(command);
        }
        if (oneCommand && i < tokens.size()) {
            error->message = where + "unexpected '" + tokens[i] + "' after " + name
                + " (one command per line)";
            return false;
        }
    }
    return true;
}

int Usage(const std::string& message)
{
    fprintf(stderr, "zrqctl: %s\n%s\n(zrqctl --help lists the commands)\n", message.c_str(),
        kUsageLine);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> tokens;
    int i = 1;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            PrintHelp();
            return 0;
        }
        if (option == "-v" || option == "--verbose") {
            g_options.verbose = true;
        } else if (option == "--wait") {
            g_options.waitMoves = true;
        } else if (option == "--units" || option.compare(0, 8, "--units=") == 0) {
            std::string value;
            if (option == "--units") {
                if (i + 1 >= argc)
                    return Usage("--units needs in, mm or tmil");
                value = argv[++i];
            } else {
                value = option.substr(8);
            }
            if (value == "in")
                g_options.units = Unit::Inch;
            else if (value == "mm")
                g_options.units = Unit::Millimetre;
            else if (value == "tmil")
                g_options.units = Unit::TenthMil;
            else
                return Usage("--units '" + value + "': must be in, mm or tmil");
        } else if (option == "--root" || option.compare(0, 7, "--root=") == 0) {
            std::string value;
            if (option == "--root") {
                if (i + 1 >= argc)
                    return Usage("--root needs a directory");
                value = argv[++i];
            } else {
                value = option.substr(7);
            }
            if (value.empty())
                return Usage("--root: empty directory name");
            setenv("ZRQAPI_ROOT", value.c_str(), 1);
        } else if (option.size() > 1 && option[0] == '-'
            && !isdigit(static_cast<unsigned char>(option[1]))) {
            return Usage("unknown option '" + option + "'");
        } else {
            break;
        }
    }
    for (; i < argc; ++i)
        tokens.push_back(argv[i]);
    if (tokens.empty())
        return Usage("no command given");

    std::vector<Command> commands;
    ParseError error;
    if (!ParseTokens(tokens, "", false, 0, &commands, &error)) {
        if (error.status == kExitUsage)
            return Usage(error.message);
        fprintf(stderr, "zrqctl: %s\n", error.message.c_str());
        return error.status;
    }

    g_options.progressLine = isatty(STDOUT_FILENO);
    for (const Command& command : commands) {
        if (g_options.verbose) {
            printf("> %s\n", command.text.c_str());
            fflush(stdout);
        }
        int status = command.spec->run(command);
        fflush(stdout);
        if (status != 0)
            return status;
    }
    return 0;
}
