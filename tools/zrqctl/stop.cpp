#include "stop.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "zrqapi.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t s_signal = 0;    // the first signal, 0 before any
volatile sig_atomic_t s_openLine = 0;  // a progress line waits for its newline
// The stop thread's progress: 1 while NirekEstop runs, 2 once it returned.
volatile sig_atomic_t s_stopState = 0;
volatile sig_atomic_t s_stopResult = 0;    // what NirekEstop returned
volatile sig_atomic_t s_quitWhenSent = 0;  // a second signal came before the stop was out
// Kept by the run, so that the handler asks the library nothing.
volatile sig_atomic_t s_linkMaybeOpen = 0;
struct termios s_savedTerminal;
bool s_terminalSaved = false;
int s_wake[2] = {-1, -1};   // the handler writes a byte, the stop thread reads it
bool s_stopThread = false;  // the stop thread runs; else StopNow stops the box itself

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

const char* StopOutcome(int result)
{
    if (result == ZRQ_STOP_NOT_SENT)
        return "zrqctl: the emergency stop could not be written to the line: the box was NOT "
               "told to stop; switch it off\n";
    if (result != 0)
        return "zrqctl: emergency stop sent, but the box did not answer after it: check that it "
               "has halted\n";
    return nullptr;
}

// The library's emergency stop passes any call in progress (its waits end
// at once), so it is sent from here, not after that call returns. A second
// signal while it goes out ends the process once it is out.
void* StopThread(void*)
{
    for (;;) {
        char byte;
        ssize_t n = read(s_wake[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        s_stopState = 1;
        s_stopResult = NirekEstop();
        s_stopState = 2;
        if (s_quitWhenSent) {
            RestoreTerminal();
            const char* outcome = StopOutcome(s_stopResult);
            Say(outcome != nullptr ? outcome : "zrqctl: emergency stop sent\n");
            Say("zrqctl: quitting at once as asked\n");
            _exit(128 + s_signal);
        }
        return nullptr;
    }
}

// Only async-signal-safe calls here, and none into the library: its exports
// take locks that the interrupted code may be holding.
void OnSignal(int signalNumber)
{
    if (s_signal != 0) {
        if (s_stopState == 2 || !s_linkMaybeOpen) {
            RestoreTerminal();
            Say(StopOutcome(s_stopResult) != nullptr
                    ? "\nzrqctl: quitting at once; the emergency stop did not go out as it "
                      "should, check the box\n"
                    : "\nzrqctl: quitting at once; the emergency stop was sent\n");
            _exit(128 + s_signal);
        }
        // Never before the stop is out: the stop thread ends the process.
        s_quitWhenSent = 1;
        Say("\nzrqctl: quitting as soon as the emergency stop is out\n");
        return;
    }
    s_signal = signalNumber;
    if (!s_linkMaybeOpen) {
        RestoreTerminal();
        Say(s_openLine ? "\nzrqctl: interrupted; no link was open, nothing sent to the box\n"
                       : "zrqctl: interrupted; no link was open, nothing sent to the box\n");
        _exit(128 + signalNumber);
    }
    if (s_openLine)
        Say("\n");
    s_openLine = 0;
    if (!s_stopThread) {
        Say("zrqctl: stopping: the emergency stop goes out after the call in progress\n");
        return;
    }
    char byte = 1;
    ssize_t ignored = write(s_wake[1], &byte, 1);
    (void)ignored;
    Say("zrqctl: stopping: emergency stop going out now\n");
}

}  // namespace

void StopArm()
{
    s_terminalSaved = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &s_savedTerminal) == 0;
    if (pipe2(s_wake, O_CLOEXEC) != 0) {
        perror("zrqctl: pipe");
        s_wake[0] = s_wake[1] = -1;
    }
    // The stop thread takes no signal: they all come to the main thread,
    // whose library call the stop then ends.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_t thread;
    if (s_wake[0] >= 0 && pthread_create(&thread, nullptr, StopThread, nullptr) == 0) {
        pthread_detach(thread);
        s_stopThread = true;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kStopSignals)
        sigaddset(&action.sa_mask, signalNumber);
    // Restarted system calls: the library's reads and writes go on, and the
    // stop, sent from the stop thread, ends the call they belong to.
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
    if (s_stopState == 0 && !NirekIsInstalled()) {
        fprintf(stderr, "zrqctl: interrupted; no link was open, nothing sent to the box\n");
        return status;
    }
    // Without a stop thread the stop goes out now, after the call that was
    // running; else the thread woken by the signal has sent it.
    if (!s_stopThread) {
        s_stopState = 1;
        s_stopResult = NirekEstop();
        s_stopState = 2;
    }
    while (s_stopState != 2) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    const char* outcome = StopOutcome(s_stopResult);
    if (outcome != nullptr) {
        fputs(outcome, stderr);
        return status;
    }
    int32_t state = NirekGetState();
    fprintf(stderr,
        state == 0       ? "zrqctl: emergency stop sent; the box stopped\n"
            : state == 1 ? "zrqctl: emergency stop sent; the box still reports motion\n"
                         : "zrqctl: emergency stop sent; the box did not answer after it\n");
    return status;
}
