#include "support/reset.h"

#include "machine/machine.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "serial/timing.h"

void ResetLibraryState()
{
    FakeReset();
    g_link = ComPort();
    g_protocol = ProtocolState();
    g_timing = TimingState();
    AbortHook = CtrlAltAbort;
    g_machine = MachineState();
}
