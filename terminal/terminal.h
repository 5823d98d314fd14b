// The dumb terminal: the console bridged to a serial port of its own.
#ifndef ZRQ_TERMINAL_TERMINAL_H
#define ZRQ_TERMINAL_TERMINAL_H

#include <stddef.h>
#include <stdint.h>

const int kKeyQuit = 1;   // Ctrl-A
const int kKeyBreak = 2;  // Ctrl-B
const uint32_t kTerminalIdleMicros = 50000;
const size_t kTerminalErrorTextSize = 80;

// Runs until Ctrl-A or a failed open; 0, or -1 when the closing line could
// not be written to standard output.
int32_t DumbTerminal(int32_t port);

#endif
