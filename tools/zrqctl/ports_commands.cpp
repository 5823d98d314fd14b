// ports: what COM1..COM8 mean on this machine, and the serial devices that
// no COM name reaches.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <string>

#include "command.h"
#include "handlers.h"
#include "portcheck.h"
#include "stop.h"
#include "zrqapi.h"

namespace {

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

}  // namespace

std::string ProbeText(int32_t port)
{
    StopNoteLink(true);
    if (NirekInstall(port) != 0)
        return "could not open it to probe";
    int32_t state = NirekGetBoxState();
    std::string text;
    if (state == 0) {
        char id[80] = {};
        NirekGetSavedID(id);
        text = std::string("box runs the protocol (state 0), identifier ") + id;
    } else if (state == 2) {
        text = "box at its prompt (state 2)";
    } else {
        text = "no box answers (state " + std::to_string(state) + ")";
    }
    NirekRemove();
    return text;
}

int RunPorts(const Command& c)
{
    bool probe = c.Has("--probe");
    if (probe && NirekIsInstalled())
        return Fail(c, 1, "--probe needs the port to itself: put ports before init");
    std::set<std::string> mapped;
    for (int n = kFirstComPort; n <= kLastComPort; ++n) {
        PortReport r = CheckPort(n);
        std::string problem = PortProblem(r);
        if (r.statError == 0)
            mapped.insert(RealPath(r.device));
        printf("%s", PortLabel(r).c_str());
        if (r.net.mapped) {
            // Contacting the server opens the box's line there: only on request.
            if (problem.empty())
                printf(": network serial server, %s; %s\n", NetPortKind(r.net),
                    probe ? ProbeText(n).c_str() : "not contacted (--probe opens it)");
            else
                printf(": %s\n", problem.c_str());
            continue;
        }
        if (!r.comLinkPresent && !r.rootTooLong)
            printf(" no link %s, on-board port", r.comLink.c_str());
        if (!problem.empty()) {
            printf(": %s\n", problem.c_str());
            continue;
        }
        printf(": tty, read and write allowed, %s",
            r.lockHolder == 0 ? "free" : ("held by this process"));
        if (probe)
            printf("; %s", ProbeText(n).c_str());
        printf("\n");
    }
    bool header = false;
    for (const SerialDevice& device : SerialDevicesPresent()) {
        if (mapped.count(RealPath(device.path)) != 0)
            continue;
        if (!header)
            printf("serial devices no COM name reaches:\n");
        header = true;
        printf("  %s", device.path.c_str());
        if (!device.target.empty())
            printf(" -> %s", device.target.c_str());
        if (!device.usb.empty())
            printf("  %s", device.usb.c_str());
        printf("\n");
    }
    if (!header)
        printf("no other serial devices (/dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*)\n");
    return 0;
}
