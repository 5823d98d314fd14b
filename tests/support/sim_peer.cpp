#include "support/sim_peer.h"

#ifdef ZRQ_HAVE_SIM

#include <memory>

#include "platform/fake.h"

namespace {

std::unique_ptr<Box> g_simBox;

void PeerReceive(void* context, const uint8_t* bytes, uint32_t n, uint64_t nowMicros)
{
    static_cast<Box*>(context)->Receive(bytes, n, nowMicros);
}

uint32_t PeerTransmit(void* context, uint64_t nowMicros, uint8_t* out, uint32_t max)
{
    return static_cast<uint32_t>(static_cast<Box*>(context)->Transmit(nowMicros, out, max));
}

int PeerNextDue(void* context, uint64_t* dueMicros)
{
    return static_cast<Box*>(context)->NextDue(dueMicros) ? 1 : 0;
}

void PeerLineBreak(void* context, int on, uint64_t nowMicros)
{
    static_cast<Box*>(context)->LineBreak(on != 0, nowMicros);
}

}  // namespace

Box* AttachSimBox(const BoxConfig& config)
{
    g_simBox.reset(new Box(config));
    g_simBox->Advance(FakeClockMicros());
    FakePeer peer;
    peer.context = g_simBox.get();
    peer.receive = PeerReceive;
    peer.transmit = PeerTransmit;
    peer.nextDue = PeerNextDue;
    peer.lineBreak = PeerLineBreak;
    FakeAttachPeer(peer);
    return g_simBox.get();
}

Box* SimBox()
{
    return g_simBox.get();
}

void DetachSimBox()
{
    FakeDetachPeer();
    g_simBox.reset();
}

void SimBoxCatchUp()
{
    if (g_simBox)
        g_simBox->Advance(FakeClockMicros());
}

#endif
