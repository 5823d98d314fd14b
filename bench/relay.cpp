// A TCP relay on loopback that holds every chunk for a fixed delay each way,
// standing in for the network between the operator's computer and a serial
// server elsewhere. Prints "port N" once it listens; relays one client at a
// time until killed.
//
// usage: zrq-bench-relay --to PORT [--delay-us N]   (default 1000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    std::string bytes;
};

// One direction: the reader stamps each chunk, the writer sends it when due.
struct Direction {
    int from = -1;
    int to = -1;
    std::chrono::microseconds delay {0};
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Chunk> queue;
    bool ended = false;

    void Read()
    {
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(from, buffer, sizeof buffer, 0);
            std::lock_guard<std::mutex> hold(lock);
            if (n <= 0) {
                ended = true;
                ready.notify_one();
                return;
            }
            queue.push_back({Clock::now() + delay, std::string(buffer, static_cast<size_t>(n))});
            ready.notify_one();
        }
    }

    void Write()
    {
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> hold(lock);
                ready.wait(hold, [this] { return ended || !queue.empty(); });
                if (queue.empty()) {
                    shutdown(to, SHUT_WR);
                    return;
                }
                chunk = std::move(queue.front());
                queue.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            if (send(to, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL)
                != static_cast<ssize_t>(chunk.bytes.size())) {
                shutdown(from, SHUT_RDWR);
                return;
            }
        }
    }
};

int Loopback(int port, sockaddr_in* a)
{
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    return socket(AF_INET, SOCK_STREAM, 0);
}

void NoDelay(int s)
{
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

int main(int argc, char** argv)
{
    int to = -1;
    long delayUs = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--to") == 0)
            to = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--delay-us") == 0)
            delayUs = atol(argv[i + 1]);
    }
    if (to <= 0) {
        fprintf(stderr, "usage: zrq-bench-relay --to PORT [--delay-us N]\n");
        return 2;
    }
    sockaddr_in a;
    int listener = Loopback(0, &a);
    socklen_t length = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0
        || getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        perror("zrq-bench-relay: listen");
        return 1;
    }
    printf("port %d\n", ntohs(a.sin_port));
    fflush(stdout);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        sockaddr_in target;
        int server = Loopback(to, &target);
        if (connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            close(client);
            close(server);
            continue;
        }
        NoDelay(client);
        NoDelay(server);
        Direction out, back;
        out.from = back.to = client;
        out.to = back.from = server;
        out.delay = back.delay = std::chrono::microseconds(delayUs);
        std::thread threads[]
            = {std::thread(&Direction::Read, &out), std::thread(&Direction::Write, &out),
                std::thread(&Direction::Read, &back), std::thread(&Direction::Write, &back)};
        for (std::thread& t : threads)
            t.join();
        close(client);
        close(server);
    }
}
