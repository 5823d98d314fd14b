#include "terminal/terminal.h"

#include <stdio.h>

#include "include/zrqapi.h"
#include "platform/platform.h"
#include "serial/comport.h"
#include "serial/entry.h"

// Line printing: the text and a newline. Flushed at once, so the operator
// sees each line even when standard output is a pipe, and a write failure
// shows here rather than at exit.
static int PrintLine(const char* text)
{
    if (puts(text) < 0 || fflush(stdout) != 0)
        return -1;
    return 0;
}

// The system's text for an error, or ours where the system has none (-1 is
// the channel's own code for a port number outside 1..8).
static void ErrorText(int32_t code, char* text, size_t size)
{
    if (PlatErrorMessage(code, text, size) != 0)
        return;
    if (code == -1)
        snprintf(text, size, "Port number must be 1 to %d", static_cast<int>(kComLastPort));
    else
        snprintf(text, size, "System error %ld", static_cast<long>(code));
}

static void RunSession(ComPort* port)
{
    for (;;) {
        if (!ComAvail(port) && !PlatConsoleKeyHit())
            PlatSleepMicros(kTerminalIdleMicros);
        if (PlatConsoleKeyHit()) {
            int key = PlatConsoleGetKey();
            if (key == kKeyQuit)
                break;
            // Each key is a request of its own: a stalled line costs one
            // stall bound per key rather than dropping the rest of the session.
            port->stalledCall = 0;
            if (key == kKeyBreak)
                ComBreak(port);
            else
                ComPutByte(port, key);
        }
        if (ComAvail(port))
            PlatConsolePutChar(ComGetByte(port));
    }
}

int32_t DumbTerminal(int32_t portNumber)
{
    ComPort port;
    port.ignoresStop = true;
    ComReset(&port, portNumber);
    ComInstall(&port);
    if (ComIsInstalled(&port)) {
        ComSetBaud(&port, kComBaud);
        ComSetFormat(&port, 0, 8, 0);
        // Raw before the banner: a key typed once the operator sees it must
        // not be line-edited or echoed.
        PlatConsoleBegin();
        PrintLine("\nCtrl-A to quit.\n");
        RunSession(&port);
        PlatConsoleEnd();
    } else {
        char text[kTerminalErrorTextSize];
        ErrorText(port.lastError, text, sizeof text);
        PrintLine("\n?ComInstall failed: ");
        PrintLine(text);
        PrintLine("\n");
    }
    ComRemove(&port);
    return PrintLine("\nEnd DumbTerminal\n");
}

extern "C" {

ZRQ_API(int32_t) Kap_DumbTerminal(int32_t port)
{
    ExportCall call;
    return DumbTerminal(port);
}

}  // extern "C"
