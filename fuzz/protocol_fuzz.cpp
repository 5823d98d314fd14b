// The library against an arbitrary box: the input says what the box answers.
// Each write of the library takes one control byte from the input. With bit
// 7 set, a well-behaved box (the simulator's model) answers that write; else
// the low 3 bits give a count of reply bytes that follow in the input, bits
// 3-6 their delay in 40 ms steps, and the model's own replies are dropped.
// An exhausted input answers well, so every input reaches deep into a working
// session before it goes wrong. Fake backend, virtual time: every time-out
// costs nothing.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "sim/box.h"
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
    bool honest = true;
    std::unique_ptr<Box> model;
    std::deque<Reply> replies;
};

FuzzBox g_box;

void Receive(void*, const uint8_t* bytes, uint32_t n, uint64_t now)
{
    g_box.model->Receive(bytes, n, now);
    if (g_box.at >= g_box.size) {
        g_box.honest = true;
        return;
    }
    uint8_t control = g_box.data[g_box.at++];
    g_box.honest = (control & 0x80) != 0;
    if (g_box.honest)
        return;
    size_t count = control & 7;
    uint64_t due = now + static_cast<uint64_t>((control >> 3) & 15) * 40000;
    for (size_t i = 0; i < count && g_box.at < g_box.size; ++i)
        g_box.replies.push_back({due + i * 260, g_box.data[g_box.at++]});
}

void LineBreak(void*, int on, uint64_t now)
{
    g_box.model->LineBreak(on != 0, now);
}

uint32_t Transmit(void*, uint64_t now, uint8_t* out, uint32_t max)
{
    uint32_t n = 0;
    if (g_box.honest) {
        n = static_cast<uint32_t>(g_box.model->Transmit(now, out, max));
    } else {
        uint8_t dropped[64];
        while (g_box.model->Transmit(now, dropped, sizeof dropped) > 0) { }
    }
    while (n < max && !g_box.replies.empty() && g_box.replies.front().due <= now) {
        out[n++] = g_box.replies.front().value;
        g_box.replies.pop_front();
    }
    return n;
}

int NextDue(void*, uint64_t* due)
{
    bool any = g_box.model->NextDue(due);
    if (!g_box.replies.empty() && (!any || g_box.replies.front().due < *due)) {
        *due = g_box.replies.front().due;
        any = true;
    }
    return any ? 1 : 0;
}

std::string g_root;

void RemoveRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
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
    // The MPM file of the identifier "A.0" (version 0).
    FILE* mpm = fopen((root + "/qorin/mpm/A.mpm").c_str(), "w");
    if (mpm == nullptr)
        abort();
    // A key needs a blank behind it, so every line has some text there.
    fputs("0 MPM.VER version\n12500 X.STEPDIST x\n12500 Y.STEPDIST y\n12500 Z.STEPDIST z\n"
          "12500 R.STEPDIST r\n655360 X.FLAGS x\n655360 Y.FLAGS y\n655360 Z.FLAGS z\n"
          "655360 R.FLAGS r\n",
        mpm);
    fclose(mpm);
    setenv("ZRQAPI_ROOT", root.c_str(), 1);
    g_root = root;
    atexit(RemoveRoot);
    made = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MakeRoot();
    ResetLibraryState();
    g_box.data = data;
    g_box.size = size;
    g_box.at = 1;  // the first byte picks the options below
    g_box.honest = true;
    g_box.replies.clear();
    BoxConfig config;
    // Identifier "A" sends initialisation to the MPM file when the first
    // byte asks for it; the others describe their axes themselves.
    uint8_t options = size > 0 ? data[0] : 0;
    if (options & 32) {
        config.identifier = "A.0";
        config.stepInfo[kChannelX] = config.velocityUnit[kChannelX] = 0;
    }
    g_box.model.reset(new Box(config));
    g_box.model->Advance(FakeClockMicros());
    FakePeer peer;
    peer.receive = Receive;
    peer.transmit = Transmit;
    peer.nextDue = NextDue;
    peer.lineBreak = LineBreak;
    FakeAttachPeer(peer);
    // Coarse virtual time: busy-wait loops then take few passes per wait.
    FakeSetReadCostNanos(50000);

    // The first byte also picks the mode and which output pointers are null.
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
    g_box.model.reset();
    return 0;
}
