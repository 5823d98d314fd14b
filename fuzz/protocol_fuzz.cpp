// The library against an arbitrary box: the input is what the box answers.
// It is read as chunks, each a control byte and up to seven reply bytes; a
// chunk is released whenever the library writes, after the delay the control
// byte names, so the fuzzer can answer early, late, twice or never. Runs on
// the fake backend in virtual time, so every time-out costs nothing.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "support/reset.h"

namespace {

struct Reply {
    uint64_t due;
    uint8_t value;
};

struct FuzzBox {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    std::deque<Reply> replies;
};

FuzzBox g_box;

void ReleaseChunk(uint64_t now)
{
    if (g_box.at >= g_box.size)
        return;
    uint8_t control = g_box.data[g_box.at++];
    size_t count = control & 7;
    uint64_t due = now + static_cast<uint64_t>(control >> 3) * 20000;  // up to 0.62 s late
    for (size_t i = 0; i < count && g_box.at < g_box.size; ++i)
        g_box.replies.push_back({due + i * 260, g_box.data[g_box.at++]});
}

void Receive(void*, const uint8_t*, uint32_t, uint64_t now)
{
    ReleaseChunk(now);
}

uint32_t Transmit(void*, uint64_t now, uint8_t* out, uint32_t max)
{
    uint32_t n = 0;
    while (n < max && !g_box.replies.empty() && g_box.replies.front().due <= now) {
        out[n++] = g_box.replies.front().value;
        g_box.replies.pop_front();
    }
    return n;
}

int NextDue(void*, uint64_t* due)
{
    if (g_box.replies.empty())
        return 0;
    *due = g_box.replies.front().due;
    return 1;
}

void MakeRoot()
{
    static bool made = false;
    if (made)
        return;
    char pattern[] = "/tmp/zrq-protocol-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        abort();
    std::string root = pattern;
    for (const char* dir : {"/qorin", "/qorin/mpm"})
        mkdir((root + dir).c_str(), 0755);
    FILE* cfg = fopen((root + "/qorin/qorin.cfg").c_str(), "w");
    if (cfg == nullptr)
        abort();
    fputs("1 COMPORT \n", cfg);
    fclose(cfg);
    // An MPM file the fuzzer can reach by answering the identifier "A".
    FILE* mpm = fopen((root + "/qorin/mpm/A.mpm").c_str(), "w");
    if (mpm == nullptr)
        abort();
    fputs("-1 MPM.VER\n12500 X.STEPDIST\n12500 Y.STEPDIST\n12500 Z.STEPDIST\n"
          "12500 R.STEPDIST\n655360 X.FLAGS\n655360 Y.FLAGS\n655360 Z.FLAGS\n655360 R.FLAGS\n",
        mpm);
    fclose(mpm);
    setenv("ZRQAPI_ROOT", root.c_str(), 1);
    made = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MakeRoot();
    ResetLibraryState();
    g_box = FuzzBox();
    g_box.data = data;
    g_box.size = size;
    FakePeer peer;
    peer.receive = Receive;
    peer.transmit = Transmit;
    peer.nextDue = NextDue;
    FakeAttachPeer(peer);
    // Coarse virtual time: busy-wait loops then take few passes per wait.
    FakeSetReadCostNanos(50000);

    // The first byte picks the mode and which output pointers are null.
    uint8_t options = size > 0 ? data[0] : 0;
    int32_t x = 0, y = 0, z = 0, r = 0;
    if (Kap_Init() == 0) {
        NirekSetTimeout(5);
        Kap_SetWaitMode(options & 1);
        Kap_MoveXY(1000, -2000);
        Kap_MoveXYZ(-2147483647 - 1, 2147483647, 12345);
        Kap_MoveZ(500);
        Kap_MoveR(-500);
        Kap_JogBeginY();
        Kap_JogSetPosition(250);
        Kap_JogEnd();
        Kap_InMotion();
        Kap_GetMachinePosition(
            options & 2 ? nullptr : &x, options & 4 ? nullptr : &y, options & 8 ? nullptr : &z);
        Kap_GetRtPos(&x, &y, &z);
        Kap_GetRotorPosition(options & 16 ? nullptr : &r);
        Kap_Home();
        Kap_Finish();
    } else {
        NirekSetTimeout(5);
        // Exactly the documented 13 bytes, so one byte past it is caught.
        std::vector<char> id(13);
        NirekGetSavedID(id.data());
        NirekGetState();
        NirekHome(0xFF);
        NirekHomed();
        NirekRemove();
    }
    if (Kap_GetErrorString() != nullptr && strlen(Kap_GetErrorString()) > 200)
        abort();
    FakeDetachPeer();
    return 0;
}
