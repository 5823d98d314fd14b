#include <stdio.h>
#include <stdlib.h>

#include "command.h"
#include "portcheck.h"
#include "zrqapi.h"
#include "zrqctl.h"

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

int PortOpenFailed(const Command& command, int32_t port, int32_t code, const char* message)
{
    int status = Fail(command, code, message);
    if (port < kFirstComPort || port > kLastComPort) {
        fprintf(stderr, "zrqctl: COM%d: the port number must be %d to %d\n", port, kFirstComPort,
            kLastComPort);
        return status;
    }
    PortReport report = CheckPort(port);
    std::string problem = PortProblem(report);
    const char* unknown = report.net.mapped
        ? "the server did not take the port (the library's line above says why)"
        : "opens now; it was busy or failed for a moment";
    fprintf(stderr, "zrqctl: %s: %s\n", PortLabel(report).c_str(),
        problem.empty() ? unknown : problem.c_str());
    return status;
}

void Said(const Command& command, const std::string& what)
{
    if (g_options.verbose)
        printf("%s: %s\n", command.spec->name, what.c_str());
}

bool Command::Has(const char* flag) const
{
    for (const auto& given : flags)
        if (given.first == flag)
            return true;
    return false;
}

int32_t Command::Flag(const char* flag) const
{
    for (const auto& given : flags)
        if (given.first == flag)
            return given.second;
    return 0;
}

const std::string* Command::FlagText(const char* flag) const
{
    const std::string* text = nullptr;
    for (const auto& given : flags)
        if (given.first == flag && given.second >= 0
            && given.second < static_cast<int32_t>(texts.size()))
            text = &texts[static_cast<size_t>(given.second)];
    return text;
}
