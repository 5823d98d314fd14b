// Entry to the library: every export runs inside one ExportCall, so callers
// on several threads take turns, whole call by whole call.
#ifndef ZRQ_SERIAL_ENTRY_H
#define ZRQ_SERIAL_ENTRY_H

#include <stdint.h>

// Holds the process-wide lock from the first line of an export to its return.
// Recursive: a Kap_ export calls Nirek exports, and those stay part of it.
class ExportCall {
public:
    ExportCall();
    ~ExportCall();
    ExportCall(const ExportCall&) = delete;
    ExportCall& operator=(const ExportCall&) = delete;
};

// Numbers the outermost export calls from 1; 0 while no export runs. Inner
// exports share the number of the call they are part of.
uint64_t CurrentExportCall();
// True inside an export called by the application, not by another export.
bool OutermostCall();

// The emergency stop's claim on the running call. RequestStop may be called
// from any thread, without the export lock; the export call running at that
// moment (if any) sees CallStopped() from then on: its waits end at once, its
// writes are dropped, and it returns a failure. Calls that begin later run
// normally.
void RequestStop();
bool CallStopped();

#endif
