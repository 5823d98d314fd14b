// Loads ZRQAPI.dll the way a 32-bit application does: LoadLibrary, then every
// export looked up by name. With --box it then drives the controller on COM1
// (the Wine prefix links COM1 to the box simulator's pseudo-terminal).
//
//   zrq_wine_dll_test [--box] [--absent-port N]
//
// Prints one line per check and closes with "N passed, N failed".
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

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
    Check(bySymbol.size() == 79, "%u distinct routines behind them (79 expected)",
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

    // A second opener of the port the library holds: refused, as natively.
    HANDLE second
        = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD secondError = GetLastError();
    Check(second == INVALID_HANDLE_VALUE, "a second CreateFileA of COM1 is refused (error %lu)",
        static_cast<unsigned long>(secondError));
    if (second != INVALID_HANDLE_VALUE)
        CloseHandle(second);
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
    Check(rotor(&r) == 0 && Near(r, 1200, 1), "the rotor is at 1200 (got %d)", r);

    auto finishCode = finish();
    Check(finishCode == 0 && installed() == 0, "Kap_Finish closes the link");
    // The port is free again once the library let go of it.
    Check(initLower() == 0, "Kap_init reopens it");
    finish();
}

}  // namespace

int main(int argc, char** argv)
{
    bool box = false;
    int absentPort = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--box") == 0)
            box = true;
        else if (strcmp(argv[i], "--absent-port") == 0 && i + 1 < argc)
            absentPort = atoi(argv[++i]);
    }

    g_library = LoadLibraryA("ZRQAPI.dll");
    Check(g_library != nullptr, "LoadLibraryA(\"ZRQAPI.dll\") (error %lu)",
        static_cast<unsigned long>(g_library ? 0 : GetLastError()));
    if (g_library != nullptr) {
        CheckExportTable();
        CheckCallsWithoutBox();
        CheckBadPorts(absentPort);
        if (box)
            DriveBox();
        FreeLibrary(g_library);
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}
