// Plugs a box model into the fake backend as the far end of the line, in the
// fake's virtual time. The box lives until the next AttachSimBox or
// DetachSimBox; ResetLibraryState detaches it from the line.
#ifndef ZRQ_TESTS_SUPPORT_SIM_PEER_H
#define ZRQ_TESTS_SUPPORT_SIM_PEER_H

#ifdef ZRQ_HAVE_SIM

#include "sim/box.h"

// A fresh box on the line; returns it for inspection and fault changes.
Box* AttachSimBox(const BoxConfig& config = BoxConfig());
// The box attached last, or null.
Box* SimBox();
void DetachSimBox();
// Brings the box's clock up to the fake clock (motion progresses), so that
// Position() and Busy() answer for the current virtual time.
void SimBoxCatchUp();

#endif

#endif
