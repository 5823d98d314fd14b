// Wire trace: a diagnostic extension, off by default. When the environment
// variable ZRQAPI_TRACE_WIRE names a file as the first port opens, every
// byte written to and read from a serial channel goes to that file, a line
// per frame or reply, in the form the simulator's log uses: microseconds
// since the trace began, then the event.
//   1520 open COM2
//   2210 > 7f 7f 7f 7f 7f 7f 7f 7f
//   5480 > 'a' 61 00 00 50 00 00 00 00 00
//   5731 < 06
// Bytes written singly with no read in between share a line. The variable
// is read once; the trace stays as it began for the life of the process.
// Only a regular file is traced into (never a FIFO, terminal or device,
// whose writes could hold up the line); any other name is refused with a
// line on standard error at the first open. Callers hold the line lock.
#ifndef ZRQ_SERIAL_WIRETRACE_H
#define ZRQ_SERIAL_WIRETRACE_H

#include <stdint.h>

const char kWireTraceVariable[] = "ZRQAPI_TRACE_WIRE";

enum WireEvent { kWireOpen, kWireClose, kWireWrite, kWireRead, kWireBreak };

// Records one event of COM portNumber; bytes only for writes and reads.
void WireTrace(WireEvent event, int32_t portNumber, const uint8_t* bytes, uint32_t n);
// Ends the trace and forgets that the variable was read (tests).
void WireTraceReset();

#endif
