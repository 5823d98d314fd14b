// Loopback ports for a network serial server that a benchmark or a test
// starts: one free now, and whether one listens yet. Shared by bench/ and
// tests/pty/.
#ifndef ZRQ_BENCH_LOOPBACK_H
#define ZRQ_BENCH_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace bench {

// A loopback port nobody listens on now.
inline int FreeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// From the kernel's table: a trial connection would be a client to the
// server, which opens the box's line for it.
inline bool LoopbackListening(int port)
{
    std::ifstream table("/proc/net/tcp");
    char want[32];
    snprintf(want, sizeof want, "0100007F:%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::string slot, local, remote, state;
        words >> slot >> local >> remote >> state;
        if (local == want && state == "0A")
            return true;
    }
    return false;
}

}  // namespace bench

#endif
