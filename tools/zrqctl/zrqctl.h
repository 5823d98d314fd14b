// What every part of zrqctl shares: exit codes and the run's options.
#ifndef ZRQ_TOOLS_ZRQCTL_ZRQCTL_H
#define ZRQ_TOOLS_ZRQCTL_ZRQCTL_H

// sysexits.h values.
const int kExitUsage = 64;
const int kExitNoInput = 66;
const int kExitIoError = 74;
const int kExitTempFail = 75;

enum class Unit { Inch, Millimetre, TenthMil };

struct Options {
    Unit units = Unit::Inch;
    bool waitMoves = false;
    bool verbose = false;
    bool progressLine = false;  // standard output is a terminal
};

extern Options g_options;

#endif
