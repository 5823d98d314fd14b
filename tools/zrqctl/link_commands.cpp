#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "command.h"
#include "config.h"
#include "handlers.h"
#include "portcheck.h"
#include "progress.h"
#include "stop.h"
#include "zrqapi.h"
#include "zrqctl.h"

namespace {

const double kHolderStopSeconds = 5;

// The port is held by another process. Another zrqctl is ours: asked with
// SIGINT it sends its own emergency stop at once and lets go of the port,
// and then this one stops the box once more and sees how it answers. Any
// other holder is named with the way to stop it. True when the port is now
// open here.
bool StopTheHolder(const Command& c, int32_t port)
{
    PortReport report = CheckPort(port);
    pid_t holder = report.lockHolder;
    if (holder == 0 || holder == getpid())
        return false;
    std::string who = "process " + std::to_string(holder)
        + (report.lockHolderName.empty() ? "" : " (" + report.lockHolderName + ")");
    if (report.lockHolderName != "zrqctl") {
        fprintf(stderr,
            "zrqctl: %sestop: COM%d is held by %s; stop the box from there, or end it with "
            "kill -INT %d\n",
            c.where.c_str(), static_cast<int>(port), who.c_str(), static_cast<int>(holder));
        return false;
    }
    if (kill(holder, SIGINT) != 0) {
        fprintf(stderr, "zrqctl: %sestop: COM%d is held by %s, which cannot be signalled: %s\n",
            c.where.c_str(), static_cast<int>(port), who.c_str(), strerror(errno));
        return false;
    }
    printf("estop: COM%d is held by %s: asked it to stop (SIGINT)\n", static_cast<int>(port),
        who.c_str());
    fflush(stdout);
    double start = Now();
    while (Now() - start < kHolderStopSeconds) {
        SleepMicros(20000);
        if (NirekInstall(port) == 0) {
            printf("estop: %s let go of the port after %.1f s\n", who.c_str(), Now() - start);
            return true;
        }
    }
    fprintf(stderr,
        "zrqctl: %sestop: %s did not let go of COM%d within %.0f s; its own emergency stop "
        "should be out: check the box, or end it with kill -KILL %d\n",
        c.where.c_str(), who.c_str(), static_cast<int>(port), kHolderStopSeconds,
        static_cast<int>(holder));
    return false;
}

}  // namespace

int RunWait(const Command& c)
{
    if (int code = NeedLink(c))
        return code;
    return WaitUntilStopped(c);
}

// Works without init: a box that is still moving answers no probe, so init
// would fail for the length of the move; the stop bytes need no handshake.
int RunEstop(const Command& c)
{
    std::string on;
    if (!NirekIsInstalled()) {
        int32_t port = 0;
        std::string from;
        if (c.Has("--port")) {
            port = c.Flag("--port");
        } else if (!ConfiguredPort(&port, &from)) {
            return Fail(c, ZRQ_NO_CONFIG,
                ("no link is open and no configuration file names a port (looked in " + ConfigRoot()
                    + "/qorin/qorin.cfg and " + ConfigRoot() + "/qv/main.cfg); give --port N")
                    .c_str());
        }
        StopNoteLink(true);
        if (NirekInstall(port) != 0 && !StopTheHolder(c, port))
            return PortOpenFailed(c, port, ZRQ_CANT_OPEN_PORT, "Can't open COM port");
        on = " on COM" + std::to_string(port);
    }
    int32_t result = NirekEstop();
    if (result == ZRQ_STOP_NOT_SENT)
        return Fail(c, kExitIoError,
            ("the emergency stop could not be written" + on
                + ": the box was NOT told to stop; switch it off")
                .c_str());
    if (result != 0)
        return Fail(c, 1,
            ("emergency stop sent" + on
                + ", but the box did not answer after it: it may be at its prompt or "
                  "switched off (zrqctl doctor)")
                .c_str());
    int32_t state = NirekGetState();
    printf("estop: emergency stop sent%s; the box %s\n", on.c_str(),
        state == 0       ? "is stopped"
            : state == 1 ? "still reports motion"
                         : "did not answer after it");
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

int RunTimeout(const Command& c)
{
    NirekSetTimeout(c.args[0]);
    return 0;
}

int RunTerminal(const Command& c)
{
    if (c.Has("--hex"))
        return RunTerminalHex(c);
    // The library's terminal prints why its port would not open but returns
    // as if it had run; a port that cannot open is told apart here.
    int32_t port = c.args[0];
    bool inRange = port >= kFirstComPort && port <= kLastComPort;
    PortReport report;
    std::string problem = "the port number must be 1 to 8";
    if (inRange) {
        report = CheckPort(port);
        problem = PortProblem(report);
    }
    fflush(stdout);
    int32_t result = Kap_DumbTerminal(port);
    if (!problem.empty()) {
        fprintf(stderr, "zrqctl: %sterminal: %s: %s\n", c.where.c_str(),
            inRange ? PortLabel(report).c_str() : ("COM" + std::to_string(port)).c_str(),
            problem.c_str());
        return ZRQ_CANT_OPEN_PORT;
    }
    if (result != 0) {
        fprintf(
            stderr, "zrqctl: %sterminal: could not write to standard output\n", c.where.c_str());
        return kExitIoError;
    }
    return 0;
}
