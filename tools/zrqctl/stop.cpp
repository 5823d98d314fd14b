#include "stop.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "zrqapi.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t s_signal = 0;    // the first signal, 0 before any
volatile sig_atomic_t s_openLine = 0;  // a progress line waits for its newline
volatile sig_atomic_t s_stopSent = 0;  // StopNow has written the stop bytes
// Kept by the run, so that the handler asks the library nothing.
volatile sig_atomic_t s_linkMaybeOpen = 0;
struct termios s_savedTerminal;
bool s_terminalSaved = false;

void Say(const char* text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

void RestoreTerminal()
{
    if (s_terminalSaved)
        tcsetattr(STDIN_FILENO, TCSANOW, &s_savedTerminal);
}

// Only async-signal-safe calls here, and none into the library: its exports
// take a lock that the interrupted code may be holding.
void OnSignal(int signalNumber)
{
    if (s_signal != 0) {
        RestoreTerminal();
        Say(s_stopSent ? "\nzrqctl: stopped at once; the emergency stop was sent, its answer not "
                         "awaited\n"
                       : "\nzrqctl: stopped at once; the box was not told to stop\n");
        _exit(128 + s_signal);
    }
    s_signal = signalNumber;
    if (!s_linkMaybeOpen) {
        RestoreTerminal();
        Say(s_openLine ? "\nzrqctl: interrupted; no link was open, nothing sent to the box\n"
                       : "zrqctl: interrupted; no link was open, nothing sent to the box\n");
        _exit(128 + signalNumber);
    }
    Say(s_openLine ? "\nzrqctl: stopping: the emergency stop goes out after the call in "
                     "progress (again to quit at once)\n"
                   : "zrqctl: stopping: the emergency stop goes out after the call in progress "
                     "(again to quit at once)\n");
    s_openLine = 0;
}

}  // namespace

void StopArm()
{
    s_terminalSaved = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &s_savedTerminal) == 0;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kStopSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Restarted system calls: the library's reads and writes go on as if
    // nothing happened, and the stop follows when its call returns.
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kStopSignals)
        sigaction(signalNumber, &action, nullptr);
}

bool StopRequested()
{
    return s_signal != 0;
}

volatile sig_atomic_t* StopFlag()
{
    return &s_signal;
}

void StopNoteLink(bool mayBeOpen)
{
    s_linkMaybeOpen = mayBeOpen ? 1 : 0;
}

void StopNoteOpenLine(bool open)
{
    s_openLine = open ? 1 : 0;
}

int StopNow()
{
    int status = 128 + s_signal;
    // Loops hand the status up through their callers, which ask again.
    static bool done = false;
    if (done)
        return status;
    done = true;
    if (s_openLine)
        fputs("\n", stdout);
    s_openLine = 0;
    fflush(stdout);
    RestoreTerminal();
    if (!NirekIsInstalled()) {
        fprintf(stderr, "zrqctl: interrupted; no link was open, nothing sent to the box\n");
        return status;
    }
    // NirekEstop writes the stop bytes before it waits for the box's answer.
    s_stopSent = 1;
    if (NirekEstop() != 0) {
        fprintf(stderr,
            "zrqctl: emergency stop sent, but the box did not answer after it: check that it "
            "has halted\n");
        return status;
    }
    fprintf(stderr,
        NirekGetState() ? "zrqctl: emergency stop sent; the box still reports motion\n"
                        : "zrqctl: emergency stop sent; the box stopped\n");
    return status;
}
