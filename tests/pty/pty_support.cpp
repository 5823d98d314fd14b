#include "pty_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

double MonotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string ReadUntil(int fd, const std::string& want, int timeoutMs, std::string* text)
{
    double end = MonotonicSeconds() + timeoutMs / 1000.0;
    while (text->find(want) == std::string::npos) {
        int left = static_cast<int>((end - MonotonicSeconds()) * 1000.0);
        if (left <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, left) != 1)
            break;
        char buffer[512];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;  // EIO once the last slave descriptor closed
        text->append(buffer, static_cast<size_t>(n));
    }
    return *text;
}

int WaitExit(pid_t pid, int timeoutMs)
{
    double end = MonotonicSeconds() + timeoutMs / 1000.0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (MonotonicSeconds() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1000;
        }
        usleep(5000);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

ScratchRoot::ScratchRoot(const char* tag)
{
    std::string pattern = std::string("/tmp/zrq-") + tag + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        return;
    path_ = pattern;
    std::filesystem::create_directories(path_ + "/dev");
}

ScratchRoot::~ScratchRoot()
{
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);
}

void ScratchRoot::Use() const
{
    setenv("ZRQAPI_ROOT", path_.c_str(), 1);
}

std::string ScratchRoot::ComLink(int port) const
{
    return path_ + "/dev/com" + std::to_string(port);
}

void ScratchRoot::Write(const std::string& relative, const std::string& text) const
{
    std::filesystem::path file = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

BoxSimProcess::~BoxSimProcess()
{
    Stop(SIGTERM);
}

bool BoxSimProcess::Start(const std::vector<std::string>& options, bool quiet)
{
#ifdef ZRQ_BOXSIM
    int out[2];
    if (pipe(out) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        if (quiet) {
            int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, 0);
            dup2(devNull, 2);
        }
        alarm(120);  // never outlive a hung test
        std::vector<std::string> args = options;
        args.insert(args.begin(), ZRQ_BOXSIM);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    std::string line;
    char c;
    pollfd pfd = {out_, POLLIN, 0};
    while (poll(&pfd, 1, 5000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
        line += c;
    path_ = line;
    return path_.size() > 1 && path_[0] == '/';
#else
    (void)options;
    (void)quiet;
    return false;
#endif
}

bool BoxSimProcess::StartOn(
    const ScratchRoot& root, int port, std::vector<std::string> options, bool quiet)
{
    options.insert(options.begin(), {"--link", root.ComLink(port)});
    return Start(options, quiet);
}

int BoxSimProcess::Stop(int signal)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    return Wait(10.0);
}

int BoxSimProcess::Wait(double seconds)
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    double end = MonotonicSeconds() + seconds;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (MonotonicSeconds() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    if (out_ >= 0)
        close(out_);
    out_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
