/* A program as another vendor's toolchain builds it: compiled by clang for
 * the Microsoft ABI, linked by lld-link against ZRQAPI.lib with no C runtime,
 * and declaring the routines itself rather than through zrqapi.h. Each call
 * goes through CallChecked, which reports how far the stack pointer moved
 * across it: a stdcall routine removes its own arguments, so anything but 0
 * is a calling-convention mismatch. With COM1 linked to the box simulator it
 * drives the box a little. Prints one line per check; exits with the number
 * of failed checks. */

#define API __stdcall

/* A register-sized argument: a pointer fits it on both widths. */
typedef __INTPTR_TYPE__ word;

int API NirekInstall(int port);
int API NirekIsInstalled(void);
int API NirekRemove(void);
int API NirekSetWaitMode(int on);
int API NirekParam(int number, int value);
#ifdef _WIN64
/* 64-bit callers have no decoration to bind by: these two routines exist
 * only under their decorated names, so a caller names those. */
int NirekSelectXYZ(int a, int b, int c) __asm__("_NirekSelectXYZ@12");
int NirekSetEncoder(int encoder, int value) __asm__("_NirekSetEncoder@8");
#else
int API NirekSelectXYZ(int a, int b, int c);     /* exported only as _NirekSelectXYZ@12 */
int API NirekSetEncoder(int encoder, int value); /* only as _NirekSetEncoder@8 */
#endif
int API Kap_init(void); /* a second plain name, no decorated form */
int API Kap_Finish(void);
int API Kap_GetApiVersion(int* major, int* minor);
int API Kap_TestCall(int value);
int API Kap_InMotion(void);
int API Kap_MoveXY(int x, int y);
int API Kap_Move4Axis(int r); /* a second plain name */
int API Kap_GetMachinePosition(int* x, int* y, int* z);
int API Kap_Get4AxisPosition(int* r); /* a second plain name */

void* API GetStdHandle(unsigned long which);
int API WriteFile(
    void* file, const void* bytes, unsigned long n, unsigned long* written, void* overlapped);
void API Sleep(unsigned long ms);

/* Calls fn with argc 32-bit arguments; stores its result and returns the
 * stack pointer's change in bytes (0 when the callee kept the convention). */
int CallChecked(void* fn, int argc, const word* args, int* result);

static int g_failed;
static int g_passed;

static void Put(const char* text)
{
    unsigned long n = 0, written = 0;
    while (text[n])
        n++;
    WriteFile(GetStdHandle((unsigned long)-11), text, n, &written, 0);
}

static void PutInt(int value)
{
    char digits[16];
    int i = 15;
    unsigned int v = value < 0 ? 0u - (unsigned int)value : (unsigned int)value;
    digits[i] = 0;
    do {
        digits[--i] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        digits[--i] = '-';
    Put(digits + i);
}

/* One checked call: the result must be `want` (or anything when anyResult)
 * and the stack must be where it was. Returns the result. */
static int Call(
    const char* name, void* fn, int argc, word a0, word a1, word a2, int anyResult, int want)
{
    word args[3];
    int result = 0;
    int moved;
    args[0] = a0;
    args[1] = a1;
    args[2] = a2;
    moved = CallChecked(fn, argc, args, &result);
    int ok = moved == 0 && (anyResult || result == want);
    Put(ok ? "ok: " : "FAIL: ");
    Put(name);
    Put(" gives ");
    PutInt(result);
    if (!anyResult) {
        Put(" (want ");
        PutInt(want);
        Put(")");
    }
    Put(", stack moved ");
    PutInt(moved);
    Put(" bytes\r\n");
    if (ok)
        g_passed++;
    else
        g_failed++;
    return result;
}

static void Expect(int ok, const char* what)
{
    Put(ok ? "ok: " : "FAIL: ");
    Put(what);
    Put("\r\n");
    if (ok)
        g_passed++;
    else
        g_failed++;
}

int ClientMain(void)
{
    int major = -1, minor = -1, x = 0, y = 0, z = 0, r = 0, i;
    Call("Kap_TestCall(-123456789)", (void*)Kap_TestCall, 1, -123456789, 0, 0, 0, -123456789);
    Call("Kap_GetApiVersion", (void*)Kap_GetApiVersion, 2, (word)&major, (word)&minor, 0, 0, 0);
    Expect(major == 2 && minor == 1, "the API version is 2.1");

    Call("NirekInstall(1)", (void*)NirekInstall, 1, 1, 0, 0, 0, 0);
    Call("NirekIsInstalled()", (void*)NirekIsInstalled, 0, 0, 0, 0, 0, 1);
    Call("NirekSetWaitMode(1)", (void*)NirekSetWaitMode, 1, 1, 0, 0, 1, 0);
    Call("NirekParam(34, 1)", (void*)NirekParam, 2, 34, 1, 0, 0, 0);
    Call("NirekSelectXYZ(3, 1, 0)", (void*)NirekSelectXYZ, 3, 3, 1, 0, 0, 0);
    Call("NirekSetEncoder(0, 0)", (void*)NirekSetEncoder, 2, 0, 0, 0, 0, 0);
    Call("NirekRemove()", (void*)NirekRemove, 0, 0, 0, 0, 1, 0);
    Call("NirekIsInstalled() after NirekRemove", (void*)NirekIsInstalled, 0, 0, 0, 0, 0, 0);

    /* c:\qorin\qorin.cfg names COM1. */
    if (Call("Kap_init()", (void*)Kap_init, 0, 0, 0, 0, 0, 0) == 0) {
        Call("Kap_MoveXY(2000, -1000)", (void*)Kap_MoveXY, 2, 2000, -1000, 0, 0, 0);
        Call("Kap_Move4Axis(300)", (void*)Kap_Move4Axis, 1, 300, 0, 0, 0, 0);
        for (i = 0; i < 300 && Kap_InMotion() != 0; i++)
            Sleep(100);
        Call("Kap_GetMachinePosition", (void*)Kap_GetMachinePosition, 3, (word)&x, (word)&y,
            (word)&z, 0, 0);
        Expect(x >= 1999 && x <= 2001 && y >= -1001 && y <= -999, "the machine is at 2000, -1000");
        Call("Kap_Get4AxisPosition", (void*)Kap_Get4AxisPosition, 1, (word)&r, 0, 0, 0, 0);
        Expect(r >= 299 && r <= 301, "the rotor is at 300");
        Call("Kap_Finish()", (void*)Kap_Finish, 0, 0, 0, 0, 0, 0);
    }
    Put(g_failed == 0 ? "all " : "");
    PutInt(g_passed);
    Put(" passed, ");
    PutInt(g_failed);
    Put(" failed\r\n");
    return g_failed;
}
