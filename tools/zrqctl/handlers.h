// The command handlers, one group per file; commands.cpp puts them in the table.
#ifndef ZRQ_TOOLS_ZRQCTL_HANDLERS_H
#define ZRQ_TOOLS_ZRQCTL_HANDLERS_H

#include <string>

struct Command;

// machine_commands.cpp: the Kap_ calls, in the operator's units.
int RunInit(const Command& c);
int RunFinish(const Command& c);
int RunMoveXY(const Command& c);
int RunMoveXYZ(const Command& c);
int RunMoveZ(const Command& c);
int RunMoveR(const Command& c);
int RunPen(const Command& c);
int RunVelocity(const Command& c);
int RunSpacing(const Command& c);
int RunHome(const Command& c);
int RunLaser(const Command& c);
int RunJog(const Command& c);
int RunJogPos(const Command& c);
int RunJogEnd(const Command& c);
int RunPos(const Command& c);
int RunRtPos(const Command& c);
int RunRotor(const Command& c);
int RunMode(const Command& c);
int RunWaitMode(const Command& c);
int RunTrace(const Command& c);
int RunVersion(const Command& c);

// link_commands.cpp: the box and its link, through the Nirek calls.
int RunWait(const Command& c);
int RunEstop(const Command& c);
int RunState(const Command& c);
int RunInfo(const Command& c);
int RunId(const Command& c);
int RunParam(const Command& c);
int RunSync(const Command& c);
int RunTimeout(const Command& c);
int RunTerminal(const Command& c);
int RunTerminalHex(const Command& c);  // terminal_hex.cpp

// ports_commands.cpp, doctor.cpp: finding the port and why it fails.
int RunPorts(const Command& c);
int RunDoctor(const Command& c);

// job.cpp: a G-code or SVG file, planned, previewed and streamed.
int RunJob(const Command& c);
bool PrepareJob(Command* c, std::string* why, int* status);
extern const char kJobHelp[];
// zrqctl job --help: the options of a job, general and per kind of file.
void PrintJobHelp();

#endif
