// doctor: from "init fails" to the cause, one check at a time, each failure
// with what to do about it.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "command.h"
#include "config.h"
#include "handlers.h"
#include "portcheck.h"
#include "progress.h"
#include "stop.h"
#include "zrqapi.h"

namespace {

const int32_t kInfoStep = 26;
const int32_t kInfoVunit = 27;
const int32_t kChannelX = 3;
const size_t kIdentifierLength = 12;

struct Doctor {
    int failures = 0;

    void Ok(const std::string& what) { printf("  ok    %s\n", what.c_str()); }
    void Bad(const std::string& what, const std::string& todo)
    {
        ++failures;
        printf("  FAIL  %s\n        -> %s\n", what.c_str(), todo.c_str());
    }
    void Note(const std::string& what) { printf("        %s\n", what.c_str()); }
};

std::string Millis(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.0f ms", seconds * 1000.0);
    return text;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int RunDoctor(const Command& c)
{
    if (NirekIsInstalled())
        return Fail(c, 1, "doctor needs the port to itself: run it alone, or before init");
    Doctor d;
    printf("configuration root\n");
    std::string root = ConfigRoot();
    const char* variable = getenv("ZRQAPI_ROOT");
    std::string where = root + (variable && *variable ? " (from ZRQAPI_ROOT)" : " (the default)");
    if (IsDirectory(root))
        d.Ok(where);
    else
        d.Bad(where + " does not exist",
            "create it, or point ZRQAPI_ROOT (or --root) at the directory that holds "
            "qorin/qorin.cfg");

    printf("configuration files, in the order init reads them\n");
    int32_t port = 0;
    int firstWithPort = -1;
    for (int i = 0; i < kConfigFileCount; ++i) {
        ConfigFile f = ReadConfigFile(i);
        if (!f.readable)
            d.Note(f.path + ": not there");
        else if (!f.hasPort)
            d.Note(f.path + ": no line with \" COMPORT \" (the key needs a blank each side)");
        else if (firstWithPort < 0) {
            firstWithPort = i;
            port = f.port;
            d.Ok(f.path + ": \"" + f.line + "\" gives COM" + std::to_string(port));
        } else {
            d.Note(f.path + ": \"" + f.line + "\" (not used: the file above wins)");
        }
    }
    if (firstWithPort < 0) {
        d.Bad("no configuration file names a port",
            "write a line like \"3 COMPORT controller\" into " + root
                + "/qorin/qorin.cfg, or use init --com N");
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }

    printf("the port\n");
    if (port < kFirstComPort || port > kLastComPort) {
        d.Bad("COM" + std::to_string(port) + " is not a port the library opens",
            "the number before COMPORT must be 1 to 8");
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }
    PortReport report = CheckPort(port);
    std::string problem = PortProblem(report);
    if (!problem.empty()) {
        d.Bad(PortLabel(report) + ": " + problem, "see docs/serial-setup.md; zrqctl ports");
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }
    if (report.net.mapped)
        d.Ok(PortLabel(report) + ": a network serial server, " + NetPortKind(report.net));
    else
        d.Ok(PortLabel(report) + ": a tty this user may open, not held by another process");

    printf("the box\n");
    StopNoteLink(true);
    double start = Now();
    fflush(stdout);  // the library's own line on a failed open follows in order
    if (NirekInstall(port) != 0) {
        if (report.net.mapped)
            d.Bad(PortLabel(report) + " would not open (" + Millis(Now() - start) + ")",
                "the library's line above says why: is the server running and reachable, its "
                "port set up for telnet(rfc2217) or plain tcp, and no other client on it?");
        else
            d.Bad(PortLabel(report) + " would not open",
                "zrqctl ports; is another program using it?");
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }
    if (report.net.mapped)
        d.Ok(report.net.rfc2217
                ? "server reachable, RFC 2217 agreed, 38400 8N1 without flow control accepted ("
                    + Millis(Now() - start) + ")"
                : "server reachable (raw TCP: the line settings are the server's own) ("
                    + Millis(Now() - start) + ")");
    start = Now();
    int32_t state = NirekGetBoxState();
    std::string took = " (" + Millis(Now() - start) + ")";
    if (state == 0) {
        d.Ok("probe: the box runs the protocol" + took);
    } else if (state == 2) {
        d.Ok("probe: the box was at its prompt and was asked to start the protocol" + took);
    } else {
        d.Bad("probe: no answer" + took,
            "is the box switched on and the cable in this port? A box running a long move "
            "answers no probe until the move ends: zrqctl estop stops it");
        NirekRemove();
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }
    start = Now();
    if (NirekSync(0) == 0) {
        d.Ok("synchronisation (" + Millis(Now() - start) + ")");
    } else {
        d.Bad("synchronisation failed (" + Millis(Now() - start) + ")",
            "noise on the line or a wrong baud rate at the box; check the cable, then retry");
        NirekRemove();
        printf("%d check(s) failed\n", d.failures);
        return 1;
    }

    printf("motion parameters\n");
    char id[80] = {};
    NirekGetSavedID(id);
    d.Ok(std::string("identifier \"") + id + "\"");
    if (NirekGetInfo(kInfoVunit, kChannelX) != 0 && NirekGetInfo(kInfoStep, kChannelX) != 0) {
        d.Ok("the box describes its axes; no MPM file is needed");
    } else {
        std::string name(id);
        name = name.substr(0, name.find('.')).substr(0, kIdentifierLength);
        std::string mpm = root + (firstWithPort == 0 ? "/qorin/mpm/" : "/qv/mpm/") + name + ".mpm";
        int32_t version = 0;
        if (ReadKeyValue(mpm, " MPM.VER ", &version))
            d.Ok("MPM file " + mpm + " (MPM.VER " + std::to_string(version) + ")");
        else
            d.Bad("the box does not describe its axes and " + mpm + " is missing or has no MPM.VER",
                "copy the box's MPM file there (named after its identifier)");
    }
    NirekRemove();
    if (d.failures == 0)
        printf("all checks passed: init should succeed\n");
    else
        printf("%d check(s) failed\n", d.failures);
    return d.failures == 0 ? 0 : 1;
}
