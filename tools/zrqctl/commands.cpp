// The command table: name, arguments, handler, the line --help shows, options.
#include <stdint.h>

#include "command.h"
#include "handlers.h"
#include "limits.h"

namespace {

const std::vector<CommandSpec> kCommands = {
    {"init", {}, RunInit, "[--com N]  open and configure (port from the configuration file)",
        {{"--com", "a port number"}}},
    {"finish", {}, RunFinish, "close the link"},
    {"move-xy", {{kDistance, "X"}, {kDistance, "Y"}}, RunMoveXY, "X Y  move to (X, Y)", {},
        CheckMoveXY},
    {"move-xyz", {{kDistance, "X"}, {kDistance, "Y"}, {kDistance, "Z"}}, RunMoveXYZ,
        "X Y Z  move to (X, Y, Z)", {}, CheckMoveXYZ},
    {"move-z", {{kDistance, "Z"}}, RunMoveZ, "Z  move the Z axis", {}, CheckMoveZ},
    {"move-r", {{kDistance, "R"}}, RunMoveR, "R  move the R axis", {}, CheckMoveR},
    {"pen", {{kWord, "up|down", "up down"}}, RunPen, "up|down"},
    {"velocity", {{kInteger, "IPM", nullptr, 0, INT32_MAX}}, RunVelocity,
        "IPM  speed in inches per minute", {}, CheckSpeed},
    {"spacing", {{kInteger, "COUNT", nullptr, 0, 65535}, {kDistance, "DIST"}}, RunSpacing,
        "COUNT DIST  sample spacing", {}, CheckSpacing},
    {"home", {}, RunHome, "home the machine"},
    {"laser", {{kWord, "on|off", "on off"}}, RunLaser, "on|off  pulse output"},
    {"jog", {{kWord, "x|y|z|r", "x y z r"}}, RunJog, "x|y|z|r  begin a jog of one axis", {},
        CheckJog},
    {"jog-pos", {{kDistance, "DIST"}}, RunJogPos, "DIST  set the running jog's position", {},
        CheckJogPos},
    {"jog-end", {}, RunJogEnd, "end the jog"},
    {"pos", {}, RunPos, "print the machine position"},
    {"rtpos", {}, RunRtPos, "print the real-time position"},
    {"rotor", {}, RunRotor, "print the R position"},
    {"wait", {}, RunWait, "wait until the box is no longer in motion"},
    {"estop", {}, RunEstop,
        "[--port N]  emergency stop; without init, on the configured port or COM N",
        {{"--port", "a port number"}}},
    {"state", {}, RunState, "print busy or idle"},
    {"info", {{kInteger, "SELECTOR"}, {kInteger, "INDEX"}}, RunInfo,
        "SELECTOR INDEX  print a controller information value"},
    {"id", {}, RunId, "print the controller's identifier"},
    {"param", {{kInteger, "NUMBER"}, {kInteger, "VALUE"}}, RunParam,
        "NUMBER VALUE  set a controller parameter"},
    {"sync", {}, RunSync, "resynchronise the link"},
    {"terminal", {{kInteger, "N"}}, RunTerminal,
        "N [--hex]  dumb terminal on COM N (Ctrl-A quits); --hex shows bytes in hex", {{"--hex"}}},
    {"trace", {{kWord, "on|off", "on off"}}, RunTrace, "on|off  library trace on stdout"},
    {"mode", {{kWord, "2d|3d", "2d 3d"}}, RunMode, "2d|3d  what the third axis slot holds"},
    {"wait-mode", {{kWord, "on|off", "on off"}}, RunWaitMode,
        "on|off  wait for each acknowledgement (init turns it on)"},
    {"timeout", {{kInteger, "TENTHS", nullptr, 1, INT32_MAX}}, RunTimeout,
        "TENTHS  acknowledgement time-out, tenths of a second (default 600)"},
    {"ports", {}, RunPorts,
        "[--probe]  what COM1-COM8 are here; --probe asks each free one for a box", {{"--probe"}}},
    {"doctor", {}, RunDoctor, "check, step by step, what init needs"},
    {"version", {}, RunVersion, "print versions"},
    {"job", {{kText, "FILE"}}, RunJob, kJobHelp,
        {{"--dry-run"}, {"--ignore-unknown"}, {"--preview", "a file name", kText},
            {"--tolerance", "a distance", kDistance}, {"--tool", "pen, laser or mill", kText},
            {"--format", "gcode or svg", kText}, {"--units", "in or mm", kText},
            {"--pen-z", "a distance", kDistance}, {"--optional-stop"}, {"--no-pause"},
            {"--feed", "inches per minute", kText}, {"--rapid", "inches per minute", kText},
            {"--scale", "a factor", kText}, {"--fit", "WIDTHxHEIGHT", kText},
            {"--origin", "X,Y", kText}, {"--steps", "X,Y[,Z]", kText}, {"--layers"},
            {"--layer", "a layer's name", kText}, {"--pause-between-layers"}, {"--optimize"}},
        nullptr, PrepareJob},
};

}  // namespace

const std::vector<CommandSpec>& Commands()
{
    return kCommands;
}

const CommandSpec* FindCommand(const std::string& name)
{
    for (const CommandSpec& spec : kCommands)
        if (name == spec.name)
            return &spec;
    return nullptr;
}
