#include "support/reset.h"

#include "machine/machine.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "serial/timing.h"
#include "serial/wiretrace.h"
#include "support/sim_peer.h"

void ResetLibraryState()
{
    FakeReset();
#ifdef ZRQ_HAVE_SIM
    DetachSimBox();
#endif
    g_link = ComPort();
    g_protocol = ProtocolState();
    g_timing = TimingState();
    AbortHook = CtrlAltAbort;
    g_machine = MachineState();
    WireTraceReset();
}
