// Loads ZRQAPI.dll the way an application does: LoadLibrary, then every
// export looked up by name (the same names in the 32- and the 64-bit DLL).
// With --box it then drives the controller on COM1 (the Wine prefix links COM1
// to the box simulator's pseudo-terminal, or ZRQAPI_COM1 maps it to a network
// serial server in front of one).
//
//   zrq_wine_dll_test [--box] [--absent-port N] [--silent-port N] [--hangup-port N]
//   zrq_wine_dll_test --held-port N   (the second opener, run by --box)
//
// --silent-port names a port whose box never answers, --hangup-port one whose
// box goes away when this program creates the file "hangup-now"; on each, a
// 2-second wait for a reply must sleep, not spin. ZRQ_WINESERVER_PID, when
// set, names the Wine server, whose CPU time counts with the program's.
//
// Prints one line per check and closes with "N passed, N failed".
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "cpu_time.h"
#include "zrqapi.h"

namespace {

struct DefEntry {
    const char* name;
    const char* symbol;
};

// Generated from exports/zrqapi.def: {exported name, compiled symbol}.
const DefEntry kDefEntries[] = {
#include "def_exports.inc"
};

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    printf("%s: ", ok ? "ok" : "FAIL");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
    (ok ? g_passed : g_failed)++;
}

HMODULE g_library = nullptr;

// The routine behind an export name, typed by the header's declaration so
// that the call uses the library's calling convention.
template<typename Fn> Fn Resolve(Fn, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
}
#define ZRQ_RESOLVE(fn, name) Resolve(&fn, name)

void CheckExportTable()
{
    std::map<std::string, FARPROC> bySymbol;
    int resolved = 0;
    for (const DefEntry& entry : kDefEntries) {
        FARPROC address = GetProcAddress(g_library, entry.name);
        if (address == nullptr) {
            Check(false, "GetProcAddress(\"%s\") finds it", entry.name);
            continue;
        }
        resolved++;
        auto known = bySymbol.find(entry.symbol);
        if (known == bySymbol.end())
            bySymbol[entry.symbol] = address;
        else if (known->second != address)
            Check(false, "\"%s\" is the same routine as the other names of %s", entry.name,
                entry.symbol);
    }
    int count = static_cast<int>(sizeof kDefEntries / sizeof kDefEntries[0]);
    Check(resolved == count, "%d of %d export names resolve", resolved, count);
    Check(bySymbol.size() == 80, "%u distinct routines behind them (80 expected)",
        static_cast<unsigned>(bySymbol.size()));

    // Names that must not be there: the irregular routines' missing forms and
    // the internals.
    static const char* const kAbsent[] = {"NirekSetEncoder", "_NirekSelectXYZ2@12",
        "NirekSelectXYZ", "_Kap_init@0", "_Kap_Move4Axis@4", "_Kap_Get4AxisPosition@4",
        "Kap_MoveXY@8", "ComInstall", "TimerInit", "g_protocol"};
    for (const char* name : kAbsent)
        Check(GetProcAddress(g_library, name) == nullptr, "\"%s\" is not exported", name);
}

void CheckCallsWithoutBox()
{
    // Both names reach a routine that takes its arguments off the stack the
    // way the header says; a mismatch would corrupt the stack here.
    auto testPlain = ZRQ_RESOLVE(Kap_TestCall, "Kap_TestCall");
    auto testDecorated = ZRQ_RESOLVE(Kap_TestCall, "_Kap_TestCall@4");
    if (testPlain && testDecorated) {
        Check(testPlain(12345) == 12345 && testDecorated(-7) == -7,
            "Kap_TestCall returns its argument under both names");
    }
    auto version = ZRQ_RESOLVE(Kap_GetApiVersion, "_Kap_GetApiVersion@8");
    if (version) {
        int32_t major = -1, minor = -1;
        int32_t result = version(&major, &minor);
        Check(result == 0 && major == 2 && minor == 1, "Kap_GetApiVersion gives 2.1 (got %d.%d)",
            major, minor);
        Check(version(nullptr, nullptr) == 0, "Kap_GetApiVersion takes null outputs");
    }
}

void CheckBadPorts(int absentPort)
{
    auto install = ZRQ_RESOLVE(NirekInstall, "NirekInstall");
    auto installed = ZRQ_RESOLVE(NirekIsInstalled, "NirekIsInstalled");
    auto initOnCom = ZRQ_RESOLVE(Kap_InitOnCom, "Kap_InitOnCom");
    auto errorString = ZRQ_RESOLVE(Kap_GetErrorString, "Kap_GetErrorString");
    if (!install || !installed || !initOnCom || !errorString)
        return;
    static const int32_t kOutOfRange[] = {0, 9, -1};
    for (int32_t port : kOutOfRange) {
        Check(install(port) == 1 && installed() == 0, "NirekInstall(%d) refuses the port", port);
    }
    if (absentPort > 0) {
        Check(install(absentPort) == 1 && installed() == 0,
            "NirekInstall(%d) fails on a port the system does not have", absentPort);
        int32_t code = initOnCom(absentPort);
        const char* text = errorString();
        Check(code == 7 && text && strcmp(text, "Can't open COM port") == 0,
            "Kap_InitOnCom(%d) reports 7 \"Can't open COM port\" (got %d \"%s\")", absentPort, code,
            text ? text : "(null)");
    }
}

// Run as a second process while the first holds the port: its own open must
// be refused as on Windows, where the port is opened exclusively.
int SecondOpener(int port)
{
    auto initOnCom = ZRQ_RESOLVE(Kap_InitOnCom, "Kap_InitOnCom");
    auto errorString = ZRQ_RESOLVE(Kap_GetErrorString, "Kap_GetErrorString");
    auto installed = ZRQ_RESOLVE(NirekIsInstalled, "NirekIsInstalled");
    if (!initOnCom || !errorString || !installed)
        return 2;
    int32_t code = initOnCom(port);
    const char* text = errorString();
    printf("   second process: Kap_InitOnCom(%d) gives %d \"%s\"\n", port, code,
        text ? text : "(null)");
    return code == 7 && text && strcmp(text, "Can't open COM port") == 0 && installed() == 0 ? 0
                                                                                             : 1;
}

// The exit code of this program run again with the given arguments.
DWORD RunSelf(const char* arguments)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return 1000;
    char command[2 * MAX_PATH];
    snprintf(command, sizeof command, "\"%s\" %s", path, arguments);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    fflush(stdout);
    if (!CreateProcessA(
            nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 1001;
    DWORD code = 1002;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1003);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// A query that no reply answers waits its full time-out; the wait must leave
// the processor to others. "Spinning" is CPU time (program and Wine server)
// above half of what a spinning program gets at the moment: half a core on an
// idle machine, less when others keep the cores busy. A sleeping wait takes
// about 1 %, a polling one as much as the spinner.
void CheckWaitSleeps(int port, bool hangUp)
{
    auto install = ZRQ_RESOLVE(NirekInstall, "NirekInstall");
    auto remove = ZRQ_RESOLVE(NirekRemove, "NirekRemove");
    auto setTimeout = ZRQ_RESOLVE(NirekSetTimeout, "NirekSetTimeout");
    auto getState = ZRQ_RESOLVE(NirekGetState, "NirekGetState");
    if (!install || !remove || !setTimeout || !getState)
        return;
    const char* what = hangUp ? "after the box hung up" : "on a silent box";
    if (install(port) != 0) {
        Check(false, "NirekInstall(%d) opens the port for the wait %s", port, what);
        return;
    }
    setTimeout(20);
    if (hangUp) {
        FILE* signal = fopen("hangup-now", "wb");
        if (signal != nullptr)
            fclose(signal);
        Sleep(1500);
    }
    winecpu::Span span;
    span.Begin();
    getState();
    span.End();
    remove();
    double spinner = winecpu::SpinnerShare(0.5);
    double wall = span.wall;
    Check(wall >= 1.9 && wall < 10, "NirekGetState %s waits its 2 s time-out (%.2f s)", what, wall);
    Check(span.program + span.server < 0.5 * spinner,
        "the wait %s sleeps: %.1f %% of a core (program %.1f %%, Wine server %s%.1f %%), "
        "a spinning program gets %.0f %%",
        what, 100 * (span.program + span.server), 100 * span.program,
        span.serverKnown ? "" : "unknown, ", 100 * span.server, 100 * spinner);
}

// After a wait the port may keep the wait's read time-outs, yet a query with
// no time-out must still only look at the line: each of its reads returns at
// once. A read that waited out one 10 ms slice would make the 50 queries
// below take a second or more.
void CheckReadsAfterWaitReturnAtOnce(int port)
{
    auto install = ZRQ_RESOLVE(NirekInstall, "NirekInstall");
    auto remove = ZRQ_RESOLVE(NirekRemove, "NirekRemove");
    auto setTimeout = ZRQ_RESOLVE(NirekSetTimeout, "NirekSetTimeout");
    auto getState = ZRQ_RESOLVE(NirekGetState, "NirekGetState");
    if (!install || !remove || !setTimeout || !getState)
        return;
    if (install(port) != 0) {
        Check(false, "NirekInstall(%d) opens the port for queries without time-out", port);
        return;
    }
    setTimeout(3);
    getState();
    setTimeout(0);
    double begin = winecpu::SecondsNow();
    for (int i = 0; i < 50; i++)
        getState();
    double wall = winecpu::SecondsNow() - begin;
    remove();
    Check(wall < 0.4, "50 queries without time-out after a wait do not wait (%.3f s)", wall);
}

bool Near(int32_t got, int32_t want, int32_t slack)
{
    return got >= want - slack && got <= want + slack;
}

void DriveBox()
{
    auto init = ZRQ_RESOLVE(Kap_Init, "_Kap_Init@0");
    auto initLower = ZRQ_RESOLVE(Kap_init, "Kap_init");
    auto errorString = ZRQ_RESOLVE(Kap_GetErrorString, "Kap_GetErrorString");
    auto installed = ZRQ_RESOLVE(NirekIsInstalled, "_NirekIsInstalled@0");
    auto moveXY = ZRQ_RESOLVE(Kap_MoveXY, "_Kap_MoveXY@8");
    auto moveZ = ZRQ_RESOLVE(Kap_MoveZ, "Kap_MoveZ");
    auto move4 = ZRQ_RESOLVE(Kap_Move4Axis, "Kap_Move4Axis");
    auto machinePosition = ZRQ_RESOLVE(Kap_GetMachinePosition, "_Kap_GetMachinePosition@12");
    auto rotor = ZRQ_RESOLVE(Kap_Get4AxisPosition, "Kap_Get4AxisPosition");
    auto terminal = ZRQ_RESOLVE(Kap_DumbTerminal, "_Kap_DumbTerminal@4");
    auto finish = ZRQ_RESOLVE(Kap_Finish, "Kap_Finish");
    auto inMotion = ZRQ_RESOLVE(Kap_InMotion, "_Kap_InMotion@0");
    if (!inMotion || !init || !initLower || !errorString || !installed || !moveXY || !moveZ
        || !move4 || !machinePosition || !rotor || !terminal || !finish) {
        Check(false, "the routines of the box run resolve");
        return;
    }

    int32_t code = init();
    const char* text = errorString();
    Check(code == 0 && installed() == 1,
        "Kap_Init opens COM1 from c:\\qorin\\qorin.cfg (%d \"%s\")", code, text ? text : "(null)");
    if (code != 0)
        return;

    // Second openers of the port the library holds: refused, as natively.
    DWORD second = RunSelf("--held-port 1");
    Check(second == 0, "another process using the library cannot open COM1 (exit %lu)",
        static_cast<unsigned long>(second));
    printf("-- the terminal's own open of COM1 must fail and say why:\n");
    fflush(stdout);
    Check(terminal(1) == 0 && installed() == 1,
        "Kap_DumbTerminal(1) gives up on the held port and leaves the link open");

    Check(moveXY(10000, 5000) == 0, "Kap_MoveXY(10000, 5000)");
    Check(moveZ(-2500) == 0, "Kap_MoveZ(-2500)");
    Check(move4(1200) == 0, "Kap_Move4Axis(1200)");
    // The simulated axes take their time; positions are read once they stop.
    for (int i = 0; i < 300 && inMotion() != 0; i++)
        Sleep(100);
    Check(inMotion() == 0, "the moves end");
    int32_t x = 0, y = 0, z = 0, r = 0;
    Check(machinePosition(&x, &y, &z) == 0, "Kap_GetMachinePosition");
    // Positions come back through the controller's step counts; allow one
    // tenth-mil of rounding.
    Check(Near(x, 10000, 1) && Near(y, 5000, 1) && Near(z, -2500, 1),
        "the machine is at 10000, 5000, -2500 (got %d, %d, %d)", x, y, z);
    // Read before the check: its arguments are evaluated in no fixed order.
    int32_t rotorCode = rotor(&r);
    Check(rotorCode == 0 && Near(r, 1200, 1), "the rotor is at 1200 (got %d)", r);

    auto finishCode = finish();
    Check(finishCode == 0 && installed() == 0, "Kap_Finish closes the link");
    // A network serial server lets the box's line go a moment after its
    // client has left, and refuses the port until then.
    if (getenv("ZRQAPI_COM1") != nullptr)
        Sleep(1000);
    // The port is free again once the library let go of it.
    Check(initLower() == 0, "Kap_init reopens it");
    finish();
}

}  // namespace

// FreeLibrary with the port open closes it: loaded again, the library can
// open the same port at once.
void CheckUnloadClosesThePort(int port)
{
    auto install = ZRQ_RESOLVE(NirekInstall, "NirekInstall");
    if (!install || install(port) != 0) {
        Check(false, "NirekInstall(%d) opens the port before the unload", port);
        return;
    }
    FreeLibrary(g_library);
    g_library = LoadLibraryA("ZRQAPI.dll");
    install = g_library ? ZRQ_RESOLVE(NirekInstall, "NirekInstall") : nullptr;
    auto remove = g_library ? ZRQ_RESOLVE(NirekRemove, "NirekRemove") : nullptr;
    Check(install && install(port) == 0, "after FreeLibrary with COM%d open, the port opens again",
        port);
    if (remove)
        remove();
}

int main(int argc, char** argv)
{
    bool box = false;
    int absentPort = 0;
    int heldPort = 0;
    int silentPort = 0;
    int hangupPort = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--box") == 0)
            box = true;
        else if (strcmp(argv[i], "--absent-port") == 0 && i + 1 < argc)
            absentPort = atoi(argv[++i]);
        else if (strcmp(argv[i], "--held-port") == 0 && i + 1 < argc)
            heldPort = atoi(argv[++i]);
        else if (strcmp(argv[i], "--silent-port") == 0 && i + 1 < argc)
            silentPort = atoi(argv[++i]);
        else if (strcmp(argv[i], "--hangup-port") == 0 && i + 1 < argc)
            hangupPort = atoi(argv[++i]);
    }

    g_library = LoadLibraryA("ZRQAPI.dll");
    if (heldPort > 0)
        return g_library != nullptr ? SecondOpener(heldPort) : 2;
    Check(g_library != nullptr, "LoadLibraryA(\"ZRQAPI.dll\") (error %lu)",
        static_cast<unsigned long>(g_library ? 0 : GetLastError()));
    if (g_library != nullptr) {
        CheckExportTable();
        CheckCallsWithoutBox();
        CheckBadPorts(absentPort);
        if (box)
            DriveBox();
        if (silentPort > 0) {
            CheckWaitSleeps(silentPort, false);
            CheckReadsAfterWaitReturnAtOnce(silentPort);
            CheckUnloadClosesThePort(silentPort);
        }
        if (hangupPort > 0 && g_library != nullptr)
            CheckWaitSleeps(hangupPort, true);
        if (g_library != nullptr)
            FreeLibrary(g_library);
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}
