// CPU time of a Windows program under Wine, and of the Wine server beside it.
// Every call of a program into the communications API is a request to the
// server, so a polling wait spends as much there as in the program itself.
#ifndef ZRQ_TESTS_WINE_CPU_TIME_H
#define ZRQ_TESTS_WINE_CPU_TIME_H

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace winecpu {

inline uint64_t FileTimeMicros(const FILETIME& t)
{
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10u;
}

// User + kernel time of this process, in microseconds.
inline uint64_t ProgramMicros()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return FileTimeMicros(kernel) + FileTimeMicros(user);
}

// The Wine server's user + system time in microseconds, read from the host's
// /proc (Wine shows the host's root as Z:) for the process id in
// ZRQ_WINESERVER_PID; -1 when that is unset or unreadable.
inline int64_t ServerMicros()
{
    const char* pid = getenv("ZRQ_WINESERVER_PID");
    if (pid == nullptr || *pid == '\0')
        return -1;
    char path[64];
    snprintf(path, sizeof path, "Z:\\proc\\%s\\stat", pid);
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return -1;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = '\0';
    // utime and stime are the 12th and 13th fields after the command name.
    const char* rest = strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (rest == nullptr
        || sscanf(
               rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system)
            != 2)
        return -1;
    return static_cast<int64_t>((user + system) * 10000u);  // USER_HZ is 100
}

inline double SecondsNow()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// CPU over one span of wall time, as fractions of a core.
struct Span {
    int64_t server0 = -1;
    uint64_t program0 = 0;
    double wall0 = 0;
    double wall = 0, program = 0, server = 0;
    bool serverKnown = false;

    void Begin()
    {
        server0 = ServerMicros();
        program0 = ProgramMicros();
        wall0 = SecondsNow();
    }
    void End()
    {
        wall = SecondsNow() - wall0;
        program = static_cast<double>(ProgramMicros() - program0) / 1e6 / wall;
        int64_t server1 = ServerMicros();
        serverKnown = server0 >= 0 && server1 >= 0;
        server = serverKnown ? static_cast<double>(server1 - server0) / 1e6 / wall : 0;
    }
};

// The share of a core that a program spinning without pause gets right now:
// on a loaded machine a spinner gets less than a core, and so does a wait
// that spins.
inline double SpinnerShare(double seconds)
{
    Span span;
    span.Begin();
    while (SecondsNow() - span.wall0 < seconds) { }
    span.End();
    return span.program;
}

}  // namespace winecpu

#endif
