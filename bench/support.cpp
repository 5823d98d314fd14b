#include "bench/support.h"

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

}  // namespace bench
