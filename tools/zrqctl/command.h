// A command as the table describes it and as the parser hands it over.
// A new command is a handler in a file of its own, declared in handlers.h,
// and one row of the table in commands.cpp.
#ifndef ZRQ_TOOLS_ZRQCTL_COMMAND_H
#define ZRQ_TOOLS_ZRQCTL_COMMAND_H

#include <stdint.h>

#include <string>
#include <vector>

enum ArgKind {
    kDistance,  // value: tenths of a mil
    kInteger,   // value: the number
    kWord,      // value: index of the word among the choices
    kText,      // a file name or the like, kept in Command::texts (value: its index there)
};

struct ArgSpec {
    ArgKind kind;
    const char* name;
    const char* words = nullptr;  // kWord: blank-separated choices, value = index
    int64_t min = INT32_MIN;      // kInteger: accepted range
    int64_t max = UINT32_MAX;
};

// An option of one command ("init --com N", "terminal N --hex"); it may
// stand before or after the command's arguments.
struct FlagSpec {
    const char* name;             // "--com"
    const char* value = nullptr;  // what its integer value is ("a port number"); none: a switch
};

struct Command;
typedef int (*Handler)(const Command& command);

struct CommandSpec {
    const char* name;
    std::vector<ArgSpec> args;
    Handler run;
    const char* help;
    std::vector<FlagSpec> flags = {};
};

struct Command {
    const CommandSpec* spec = nullptr;
    std::vector<int32_t> args;
    std::vector<std::string> texts;                      // kText arguments
    std::vector<std::pair<std::string, int32_t>> flags;  // those given, with their values
    std::string where;                                   // "" or "FILE:LINE: " for messages
    std::string text;                                    // as written, for --verbose

    bool Has(const char* flag) const;
    int32_t Flag(const char* flag) const;  // its value; 0 when not given
};

// The command table, in the order --help lists it.
const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(const std::string& name);

// ---- results: each prints its message and gives the exit status ----

int Fail(const Command& command, int32_t code, const char* message);
// A Kap_ result: 0, a code with its message in Kap_GetErrorString, or 256.
int KapResult(const Command& command, int32_t code);
// A Nirek result: 0, or 256 after a lost acknowledgement.
int NirekResult(const Command& command, int32_t code);
// 0 when the link is open; otherwise says so and gives the status.
int NeedLink(const Command& command);
// A line of what was done, under --verbose.
void Said(const Command& command, const std::string& what);

#endif
