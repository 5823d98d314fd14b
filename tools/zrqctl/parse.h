// The command line and `run` files into a list of commands, all parsed before
// the first call, so bad input never leaves the box half-driven.
#ifndef ZRQ_TOOLS_ZRQCTL_PARSE_H
#define ZRQ_TOOLS_ZRQCTL_PARSE_H

#include <string>
#include <vector>

#include "command.h"
#include "zrqctl.h"

struct ParseError {
    std::string message;
    int status = kExitUsage;
};

// tokens: the words after the options.
bool ParseCommandLine(
    const std::vector<std::string>& tokens, std::vector<Command>* out, ParseError* error);

extern const char kUsageLine[];
void PrintHelp();
// Prints message with the usage line; gives kExitUsage.
int Usage(const std::string& message);

#endif
