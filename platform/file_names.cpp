// Which file names the system opens as devices. Shared by every backend,
// since the fake one reads real files too.
#include <string.h>

#include "platform/platform.h"

#ifdef _WIN32

namespace {

// The superscript digits 1-3 that Windows also numbers ports with, in the
// Windows-1252 code page and in UTF-8.
int SuperscriptLength(const char* s)
{
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    if (u[0] == 0xB9 || u[0] == 0xB2 || u[0] == 0xB3)
        return 1;
    if (u[0] == 0xC2 && (u[1] == 0xB9 || u[1] == 0xB2 || u[1] == 0xB3))
        return 2;
    return 0;
}

bool SameLetters(const char* s, const char* upper, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        char c = s[i] >= 'a' && s[i] <= 'z' ? static_cast<char>(s[i] - 'a' + 'A') : s[i];
        if (c != upper[i])
            return false;
    }
    return true;
}

}  // namespace

int PlatFileNameIsDevice(const char* name)
{
    // The device is named by what stands before the first '.', whatever the
    // extension, and blanks at its end do not count.
    size_t length = strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kPlain) {
        size_t n = strlen(device);
        if (length == n && SameLetters(name, device, n))
            return 1;
    }
    static const char* const kNumbered[] = {"COM", "LPT"};
    for (const char* device : kNumbered) {
        if (length < 4 || !SameLetters(name, device, 3))
            continue;
        if (length == 4 && name[3] >= '0' && name[3] <= '9')
            return 1;
        int super = SuperscriptLength(name + 3);
        if (super != 0 && length == 3u + static_cast<size_t>(super))
            return 1;
    }
    return 0;
}

#else

int PlatFileNameIsDevice(const char*)
{
    // Device files live in /dev; no name makes one elsewhere.
    return 0;
}

#endif
