// What waiting costs in the Windows DLL, run under Wine: CPU of the program
// and of the Wine server while a query waits for a reply that never comes,
// and the wait-mode round trip against the box simulator. The script runs it
// once against ZRQAPI.dll and once against the reference design's busy poll
// (busypoll/ZRQAPI.dll, the same sources with the sleep removed).
//
// usage: zrq-bench-win-wait --dll PATH --silent-port N --box-port N
//                           [--idle-seconds S] [--trips N]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench/percentile.h"
#include "tests/wine/cpu_time.h"
#include "zrqapi.h"

namespace {

HMODULE g_library = nullptr;

template<typename Fn> Fn Resolve(Fn, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
}

}  // namespace

int main(int argc, char** argv)
{
    const char* dll = "ZRQAPI.dll";
    int silentPort = 2, boxPort = 1, trips = 2000;
    double idleSeconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--dll") == 0)
            dll = argv[i + 1];
        else if (strcmp(argv[i], "--silent-port") == 0)
            silentPort = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--box-port") == 0)
            boxPort = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--idle-seconds") == 0)
            idleSeconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--trips") == 0)
            trips = atoi(argv[i + 1]);
    }
    g_library = LoadLibraryA(dll);
    auto install = Resolve(&NirekInstall, "NirekInstall");
    auto remove = Resolve(&NirekRemove, "NirekRemove");
    auto setTimeout = Resolve(&NirekSetTimeout, "NirekSetTimeout");
    auto setWaitMode = Resolve(&NirekSetWaitMode, "NirekSetWaitMode");
    auto getState = Resolve(&NirekGetState, "NirekGetState");
    auto param = Resolve(&NirekParam, "NirekParam");
    if (!g_library || !install || !remove || !setTimeout || !setWaitMode || !getState || !param) {
        fprintf(stderr, "zrq-bench-win-wait: cannot load %s\n", dll);
        return 1;
    }

    if (install(silentPort) != 0) {
        fprintf(stderr, "zrq-bench-win-wait: cannot open COM%d\n", silentPort);
        return 1;
    }
    setTimeout(static_cast<int32_t>(idleSeconds * 10 + 0.5));
    winecpu::Span span;
    span.Begin();
    getState();
    span.End();
    remove();
    printf("%s: silent %.2f s wait: %.2f %% of a core (program %.2f %%, Wine server ", dll,
        span.wall, 100 * (span.program + span.server), 100 * span.program);
    if (span.serverKnown)
        printf("%.2f %%)\n", 100 * span.server);
    else
        printf("not measured)\n");

    if (install(boxPort) != 0) {
        fprintf(stderr, "zrq-bench-win-wait: cannot open COM%d\n", boxPort);
        return 1;
    }
    setTimeout(20);
    setWaitMode(1);
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < trips; ++i) {
        double t0 = winecpu::SecondsNow();
        lost += param(34, 257) != 0;
        micros.push_back((winecpu::SecondsNow() - t0) * 1e6);
    }
    remove();
    double sum = 0;
    for (double m : micros)
        sum += m;
    printf("%s: wait-mode round trip over %d trips: median %.1f us, p90 %.1f us, mean %.1f us; "
           "lost %d\n",
        dll, trips, bench::Percentile(micros, 50), bench::Percentile(micros, 90),
        micros.empty() ? 0.0 : sum / static_cast<double>(micros.size()), lost);
    FreeLibrary(g_library);
    return lost == 0 ? 0 : 1;
}
