// What the box can take, checked before anything is sent: every distance must
// come to a 22.10 count within 32 bits on its axis, and every speed to a step
// rate within the 16-bit speed word. The axes' steps and the velocity unit
// are those init has just read, found the same way the library finds them.
#ifndef ZRQ_TOOLS_ZRQCTL_LIMITS_H
#define ZRQ_TOOLS_ZRQCTL_LIMITS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "command.h"

enum Axis { kAxisX, kAxisY, kAxisZ, kAxisR, kAxisCount };

struct MachineLimits {
    bool known = false;
    int32_t step[kAxisCount] = {};  // 1e-8 inch per motor step
    uint32_t yVunit = 0;
    int32_t velocityFactor = 0;  // as the library computes it from Y
};

// Reads the steps after a successful init (queries on the open link; the
// MPM file when the box does not describe its axes).
MachineLimits ReadMachineLimits(bool portFromSecondConfig);

// "" when the distance fits on the axis, else why not, in the operator's units.
std::string CheckDistance(const MachineLimits& limits, Axis axis, int32_t tenthMils);
std::string CheckVelocity(const MachineLimits& limits, int32_t ipm);

// The checkers of the command table.
std::string CheckMoveXY(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckMoveXYZ(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckMoveZ(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckMoveR(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckSpacing(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckJog(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckJogPos(const MachineLimits& limits, const Command& c, CheckState* state);
std::string CheckSpeed(const MachineLimits& limits, const Command& c, CheckState* state);

// Whether a command from `first` on, up to the next init, has a distance or
// a speed to check (the steps are read only then).
bool AnyToCheck(const std::vector<Command>& commands, size_t first);
// Checks every command of the list from `first` on until the next init; the
// first refusal is printed and gives kExitUsage, else 0.
int CheckCommands(const MachineLimits& limits, const std::vector<Command>& commands, size_t first);

#endif
