// Helpers shared by the benchmark programs: a scratch root with COM1 linked
// to a pseudo-terminal, an in-process responder, the simulator as a child
// process, and the clocks the figures are read from.
#ifndef ZRQ_BENCH_SUPPORT_H
#define ZRQ_BENCH_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "bench/percentile.h"

namespace bench {

uint64_t NowMicros();
uint64_t NowNanos();
// User + system CPU time of the process, in microseconds.
uint64_t CpuMicros();

// A temporary $ZRQAPI_ROOT with dev/ and qorin/ made; removed by Remove().
struct ScratchRoot {
    std::string path;
    bool Make();
    std::string ComLink(int port) const { return path + "/dev/com" + std::to_string(port); }
    void Remove();
};

// A pseudo-terminal whose slave is linked as COMn; the master stays here.
struct Pty {
    int master = -1;
    std::string slavePath;
    bool Open(const std::string& link);
    void Close();
};

// zrq-boxsim in a child process, linked as COMn. Stop() ends it and reads
// its --stats file.
struct BoxProcess {
    int pid = -1;
    std::string statsPath;
    bool Start(const std::string& binary, const std::string& link,
        const std::vector<std::string>& options);
    // Returns the counters as name/value pairs; empty when none were written.
    std::vector<std::pair<std::string, uint64_t>> Stop();
};

// The box's terminal behind Debian's ser2net on loopback (RFC 2217 or raw
// TCP), optionally behind zrq-bench-relay adding a delay each way. Start()
// returns the URL for ZRQAPI_COMn, "" when something did not start.
// charDelay keeps ser2net's default of holding the line's bytes a few
// character times before sending them on.
struct NetworkFront {
    int ser2net = -1;
    int relay = -1;
    std::string config;
    std::string Start(const std::string& tty, bool rfc2217, const std::string& relayBinary,
        long delayUs, bool charDelay);
    void Stop();
};

uint64_t Stat(const std::vector<std::pair<std::string, uint64_t>>& stats, const char* name);

// One line of the host and its load, for the figures' heading.
std::string MachineLine();

}  // namespace bench

#endif
