// Stop on a signal. SIGINT, SIGTERM and SIGHUP during a run never leave the
// box moving: the handler wakes a stop thread, which sends the library's
// emergency stop at once (it passes whatever call the run is waiting in, and
// that call then fails); the run, at its next point between two library
// calls, says what came of it and exits 128 + the signal. The library is not
// re-entered from the signal handler.
//
//   StopArm();                      once, before the first library call
//   if (StopRequested())            in every loop and between library calls
//       return StopNow();           the exit status
//
// With no link open a signal ends the run at once (nothing to stop). A
// second signal never cancels the stop: it ends the run, terminal restored,
// as soon as the library's stop call has returned (its bytes are out, and
// its resynchronisation has ended).
#ifndef ZRQ_TOOLS_ZRQCTL_STOP_H
#define ZRQ_TOOLS_ZRQCTL_STOP_H

#include <signal.h>

void StopArm();
bool StopRequested();
// The same request as a flag that loops outside zrqctl can poll (the job
// stream): non-zero once a stop signal came.
volatile sig_atomic_t* StopFlag();
// Waits for the stop thread's emergency stop, reports, restores the
// terminal; gives 128 + the signal. Later calls only give the status.
int StopNow();

// Whether the library's link may be open, for the signal handler, which may
// not call into the library. The run notes it before and after each command;
// a command notes true before a call that opens the link (init, NirekInstall).
void StopNoteLink(bool mayBeOpen);

// A progress line without its newline is on the terminal; the stop report
// starts on a line of its own.
void StopNoteOpenLine(bool open);

#endif
