#include "bench/support.h"

#include "bench/loopback.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace bench {

uint64_t NowNanos()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t NowMicros()
{
    return NowNanos() / 1000u;
}

uint64_t CpuMicros()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto micros = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

bool ScratchRoot::Make()
{
    char pattern[] = "/tmp/zrq-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    path = pattern;
    setenv("ZRQAPI_ROOT", path.c_str(), 1);
    return mkdir((path + "/dev").c_str(), 0755) == 0 && mkdir((path + "/qorin").c_str(), 0755) == 0;
}

void ScratchRoot::Remove()
{
    if (path.empty())
        return;
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "bench: could not remove %s\n", path.c_str());
    path.clear();
}

bool Pty::Open(const std::string& link)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    const char* name = ptsname(master);
    if (name == nullptr)
        return false;
    slavePath = name;
    unlink(link.c_str());
    return symlink(slavePath.c_str(), link.c_str()) == 0;
}

void Pty::Close()
{
    if (master >= 0)
        close(master);
    master = -1;
}

bool BoxProcess::Start(
    const std::string& binary, const std::string& link, const std::vector<std::string>& options)
{
    char pattern[] = "/tmp/zrq-bench-stats-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        return false;
    close(fd);
    statsPath = pattern;
    unlink(link.c_str());
    std::vector<std::string> args = {binary, "--link", link, "--stats", statsPath};
    args.insert(args.end(), options.begin(), options.end());
    fflush(stdout);
    fflush(stderr);
    pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    struct stat st;
    uint64_t until = NowMicros() + 10000000u;
    while (lstat(link.c_str(), &st) != 0) {
        int status = 0;
        if (NowMicros() > until || waitpid(pid, &status, WNOHANG) != 0)
            return false;
        usleep(2000);
    }
    return true;
}

std::vector<std::pair<std::string, uint64_t>> BoxProcess::Stop()
{
    std::vector<std::pair<std::string, uint64_t>> stats;
    if (pid <= 0)
        return stats;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    std::ifstream in(statsPath);
    std::string name;
    uint64_t value;
    while (in >> name >> value)
        stats.emplace_back(name, value);
    unlink(statsPath.c_str());
    return stats;
}

uint64_t Stat(const std::vector<std::pair<std::string, uint64_t>>& stats, const char* name)
{
    for (const auto& s : stats)
        if (s.first == name)
            return s.second;
    return 0;
}

std::string MachineLine()
{
    utsname u;
    uname(&u);
    std::string cpu = "unknown cpu";
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::ostringstream out;
    out << cpu << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << u.release
        << ", load " << load[0] << " " << load[1] << " " << load[2];
    return out.str();
}

namespace {

void EndChild(int* pid)
{
    if (*pid > 0) {
        kill(*pid, SIGTERM);
        waitpid(*pid, nullptr, 0);
    }
    *pid = -1;
}

}  // namespace

std::string NetworkFront::Start(const std::string& tty, bool rfc2217,
    const std::string& relayBinary, long delayUs, bool charDelay)
{
    int port = FreeLoopbackPort();
    char pattern[] = "/tmp/zrq-bench-ser2net-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0 || port < 0)
        return "";
    close(fd);
    config = pattern;
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &box\n    accepter: "
                          << (rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1," << port
                          << "\n    connector: serialdev," << tty << ",38400n81,local\n"
                          << (charDelay ? "" : "    options:\n      chardelay: false\n");
    fflush(stdout);
    ser2net = fork();
    if (ser2net == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execl("/usr/sbin/ser2net", "ser2net", "-n", "-d", "-c", config.c_str(), nullptr);
        _exit(127);
    }
    for (uint64_t until = NowMicros() + 5000000u; !LoopbackListening(port); usleep(10000))
        if (NowMicros() > until)
            return "";
    if (relayBinary.empty())
        return std::string(rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
    int out[2];
    if (pipe(out) != 0)
        return "";
    relay = fork();
    if (relay == 0) {
        dup2(out[1], 1);
        close(out[0]);
        std::string to = std::to_string(port), delay = std::to_string(delayUs);
        execl(relayBinary.c_str(), relayBinary.c_str(), "--to", to.c_str(), "--delay-us",
            delay.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    char line[64] = {};
    ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    int relayPort = 0;
    if (n <= 0 || sscanf(line, "port %d", &relayPort) != 1)
        return "";
    return std::string(rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(relayPort);
}

void NetworkFront::Stop()
{
    EndChild(&relay);
    EndChild(&ser2net);
    if (!config.empty())
        unlink(config.c_str());
    config.clear();
}

}  // namespace bench
