// zrqctl: the operator's command line over the public API. The library keeps
// its state in the process, so one run takes a whole sequence of commands:
//   zrqctl init velocity 20 move-xy 1in 0.5in pos finish
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "command.h"
#include "config.h"
#include "handlers.h"
#include "limits.h"
#include "parse.h"
#include "progress.h"
#include "stop.h"
#include "zrqapi.h"
#include "zrqctl.h"

Options g_options;

namespace {

// A value option as "--name VALUE" or "--name=VALUE"; false when it is not this one.
bool OptionValue(
    const std::string& name, int argc, char** argv, int* i, std::string* value, bool* missing)
{
    std::string option = argv[*i];
    *missing = false;
    if (option == name) {
        if (*i + 1 >= argc) {
            *missing = true;
            return true;
        }
        *value = argv[++*i];
        return true;
    }
    if (option.compare(0, name.size() + 1, name + "=") == 0) {
        *value = option.substr(name.size() + 1);
        return true;
    }
    return false;
}

// Now that the box's steps are known, the rest of the run is checked
// against them before any of it is sent.
int CheckAfterInit(const Command& init, const std::vector<Command>& commands, size_t next)
{
    if (!AnyToCheck(commands, next))
        return 0;
    int32_t port = 0;
    std::string from;
    bool second = !init.Has("--com") && ConfiguredPort(&port, &from) && from.size() >= 12
        && from.compare(from.size() - 12, 12, "/qv/main.cfg") == 0;
    MachineLimits limits = ReadMachineLimits(second);
    if (!limits.known) {
        if (g_options.verbose)
            printf("(the axes' steps could not be read back; distances are not checked)\n");
        return 0;
    }
    return CheckCommands(limits, commands, next);
}

const int kExitCantCreate = 73;

// The wire trace is checked before any port opens, as the library would take
// it: a regular file that can be created, opened without waiting. A FIFO
// nobody reads, a device or a directory would otherwise be found out only
// with the port open (and the library runs without a trace then).
bool TracePathUsable(const std::vector<Command>& commands)
{
    const char* path = getenv("ZRQAPI_TRACE_WIRE");
    if (path == nullptr || path[0] == '\0')
        return true;
    int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    const char* reason = nullptr;
    struct stat st;
    if (fd < 0)
        reason = errno == ENXIO ? "a FIFO with no reader, not a regular file" : strerror(errno);
    else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        reason = S_ISDIR(st.st_mode) ? "a directory, not a regular file" : "not a regular file";
    if (fd >= 0)
        close(fd);
    if (reason == nullptr)
        return true;
    // An emergency stop never waits for a trace.
    for (const Command& command : commands)
        if (command.spec->run == RunEstop) {
            fprintf(stderr, "zrqctl: wire trace %s: %s; the stop goes out without a trace\n", path,
                reason);
            unsetenv("ZRQAPI_TRACE_WIRE");
            return true;
        }
    fprintf(stderr, "zrqctl: wire trace %s: %s; nothing was sent\n", path, reason);
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> tokens;
    int i = 1;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool missing = false;
        if (option == "-h" || option == "--help") {
            PrintHelp();
            return 0;
        }
        if (option == "-v" || option == "--verbose") {
            g_options.verbose = true;
        } else if (option == "--wait") {
            g_options.waitMoves = true;
        } else if (OptionValue("--units", argc, argv, &i, &value, &missing)) {
            if (missing)
                return Usage("--units needs in, mm or tmil");
            if (value == "in")
                g_options.units = Unit::Inch;
            else if (value == "mm")
                g_options.units = Unit::Millimetre;
            else if (value == "tmil")
                g_options.units = Unit::TenthMil;
            else
                return Usage("--units '" + value + "': must be in, mm or tmil");
        } else if (OptionValue("--root", argc, argv, &i, &value, &missing)) {
            if (missing)
                return Usage("--root needs a directory");
            if (value.empty())
                return Usage("--root: empty directory name");
            setenv("ZRQAPI_ROOT", value.c_str(), 1);
        } else if (OptionValue("--trace-wire", argc, argv, &i, &value, &missing)) {
            if (missing || value.empty())
                return Usage("--trace-wire needs a file name");
            // The library reads it once, when the first port opens.
            setenv("ZRQAPI_TRACE_WIRE", value.c_str(), 1);
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
    if (tokens.size() == 2 && tokens[0] == "job" && (tokens[1] == "--help" || tokens[1] == "-h")) {
        PrintJobHelp();
        return 0;
    }

    std::vector<Command> commands;
    ParseError error;
    if (!ParseCommandLine(tokens, &commands, &error)) {
        if (error.status == kExitUsage)
            return Usage(error.message);
        fprintf(stderr, "zrqctl: %s\n", error.message.c_str());
        return error.status;
    }

    if (!TracePathUsable(commands))
        return kExitCantCreate;
    g_options.progressLine = isatty(STDOUT_FILENO);
    StopArm();
    for (size_t at = 0; at < commands.size(); ++at) {
        const Command& command = commands[at];
        if (StopRequested())
            return StopNow();
        NoteCommandStart(command);
        StopNoteLink(NirekIsInstalled());
        if (g_options.verbose) {
            printf("> %s\n", command.text.c_str());
            fflush(stdout);
        }
        int status = command.spec->run(command);
        StopNoteLink(NirekIsInstalled());
        fflush(stdout);
        // A stop asked for during the command wins over how the command ended.
        if (StopRequested())
            return StopNow();
        if (status != 0)
            return status;
        if (command.spec->run == RunInit)
            if (int refused = CheckAfterInit(command, commands, at + 1))
                return refused;
    }
    return 0;
}
