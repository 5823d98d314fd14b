#include "parse.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "units.h"

namespace {

const int kMaxRunDepth = 8;

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
    static int filesOpened = 0;
    int fileId = ++filesOpened;
    size_t firstCommand = out->size();
    int commandLines = 0;
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
        size_t before = out->size();
        if (!ParseTokens(tokens, where, true, depth, out, error))
            return false;
        // A nested run's commands are already marked with their own file.
        for (size_t i = before; i < out->size(); ++i)
            if ((*out)[i].runFile == 0) {
                (*out)[i].runFile = fileId;
                (*out)[i].runLine = ++commandLines;
            }
    }
    for (size_t i = firstCommand; i < out->size(); ++i)
        if ((*out)[i].runFile == fileId)
            (*out)[i].runLines = commandLines;
    return true;
}

bool ParseArg(const ArgSpec& arg, const std::string& token, Command* command, std::string* why)
{
    int32_t value = 0;
    switch (arg.kind) {
    case kDistance:
        if (!ParseDistance(token, &value, why))
            return false;
        break;
    case kInteger:
        if (!ParseInteger(token, &value, why))
            return false;
        // Hexadecimal may name all 32 bits; a range narrower than that is checked on the number.
        if (arg.max <= INT32_MAX && (value < arg.min || value > arg.max)) {
            *why = "must be " + std::to_string(arg.min) + " to " + std::to_string(arg.max);
            return false;
        }
        break;
    case kWord: {
        std::istringstream words(arg.words);
        int index = 0;
        bool found = false;
        for (std::string word; !found && words >> word; ++index)
            if (token == word) {
                value = index;
                found = true;
            }
        if (!found) {
            *why = std::string("must be ") + arg.name;
            return false;
        }
        break;
    }
    case kText:
        value = static_cast<int32_t>(command->texts.size());
        command->texts.push_back(token);
        break;
    }
    command->args.push_back(value);
    return true;
}

// One of the command's options at tokens[*i]: 1 taken, 0 none there, -1 bad.
int ParseFlag(const std::vector<std::string>& tokens, size_t* i, const std::string& where,
    Command* command, ParseError* error)
{
    const CommandSpec* spec = command->spec;
    if (spec->flags.empty() || *i >= tokens.size() || tokens[*i].compare(0, 2, "--") != 0)
        return 0;
    const std::string& token = tokens[*i];
    size_t equals = token.find('=');
    std::string name = token.substr(0, equals);
    for (const FlagSpec& flag : spec->flags) {
        if (name != flag.name)
            continue;
        ++*i;
        int32_t value = 0;
        if (flag.value != nullptr) {
            std::string text;
            if (equals != std::string::npos) {
                text = token.substr(equals + 1);
            } else if (*i < tokens.size()) {
                text = tokens[(*i)++];
            } else {
                error->message = where + spec->name + ": " + name + " needs " + flag.value;
                return -1;
            }
            std::string why;
            if (flag.kind == kText) {
                value = static_cast<int32_t>(command->texts.size());
                command->texts.push_back(text);
            } else if (!(flag.kind == kDistance ? ParseDistance(text, &value, &why)
                                                : ParseInteger(text, &value, &why))) {
                error->message = where + spec->name + ": " + name + " '" + text + "': " + why;
                return -1;
            }
        } else if (equals != std::string::npos) {
            error->message = where + spec->name + ": " + name + " takes no value";
            return -1;
        }
        command->flags.emplace_back(flag.name, value);
        return 1;
    }
    error->message = where + spec->name + ": unknown option '" + token + "'";
    return -1;
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
            int taken;
            while ((taken = ParseFlag(tokens, &i, where, &command, error)) == 1) { }
            if (taken < 0)
                return false;
            for (const ArgSpec& arg : spec->args) {
                if (i >= tokens.size() || (arg.kind != kWord && IsCommandName(tokens[i]))) {
                    error->message = where + name + ": missing " + arg.name;
                    return false;
                }
                std::string why;
                if (!ParseArg(arg, tokens[i], &command, &why)) {
                    std::string label = arg.kind == kWord ? "" : std::string(arg.name) + " ";
                    error->message = where + name + ": " + label + "'" + tokens[i] + "': " + why;
                    return false;
                }
                ++i;
            }
            while ((taken = ParseFlag(tokens, &i, where, &command, error)) == 1) { }
            if (taken < 0)
                return false;
            std::string why;
            if (spec->prepare != nullptr && !spec->prepare(&command, &why, &error->status)) {
                error->message = where + why;
                return false;
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

}  // namespace

const char kUsageLine[] = "usage: zrqctl [options] COMMAND [ARGS] [COMMAND [ARGS] ...]";

bool ParseCommandLine(
    const std::vector<std::string>& tokens, std::vector<Command>* out, ParseError* error)
{
    return ParseTokens(tokens, "", false, 0, out, error);
}

void PrintHelp()
{
    printf("%s\n\n", kUsageLine);
    printf("Drives the controller box through the library; one run holds the library's\n"
           "state, so put every step in one command line (or in a file for `run`).\n\n"
           "Options (before the first command):\n"
           "  --units in|mm|tmil  unit of printed positions (default in)\n"
           "  --root DIR          configuration root for this run (sets ZRQAPI_ROOT)\n"
           "  --wait              after each move and home, wait for the box to stop\n"
           "  --trace-wire FILE   every byte to and from the box into FILE, a line a frame\n"
           "  -v, --verbose       show each command and what it did\n"
           "  -h, --help          this text\n\n"
           "Distances: a bare number is tenths of a mil (0.0001 in); the suffixes in, mm\n"
           "and mil convert (1in = 10000, 1mm = 393.7, 1mil = 10), rounded to the nearest\n"
           "tenth of a mil: 0.5in, -12.7mm, 250mil, 3937.\n\n"
           "Commands:\n");
    for (const CommandSpec& spec : Commands())
        printf("  %-9s %s\n", spec.name, spec.help);
    printf("  %-9s %s\n", "run", "FILE  commands from FILE, one per line, # comments");
    printf("\nExit status: 0, the library's result code (1..11), 75 when the box did not\n"
           "acknowledge in time or stopped answering, 64 for bad usage or a distance or\n"
           "speed the box cannot take (checked after init, before anything is sent), 65\n"
           "for a job file that is broken or refused, 66 for a run file that cannot be\n"
           "read, 73 for a preview or trace file that cannot be created, 74 when the\n"
           "terminal cannot write or the stop could not be written, 1 when a job ended\n"
           "more than a step off its plan, 128 + the signal after Ctrl-C, SIGTERM or\n"
           "SIGHUP (the emergency stop goes out first).\n");
}

int Usage(const std::string& message)
{
    fprintf(stderr, "zrqctl: %s\n%s\n(zrqctl --help lists the commands)\n", message.c_str(),
        kUsageLine);
    return kExitUsage;
}
