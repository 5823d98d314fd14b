#include "zrqctl_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "pty_support.h"

#ifdef ZRQ_ZRQCTL

namespace {

std::string Slurp(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

// In the child: pipes on 1 and 2, /dev/null on 0, then zrqctl.
[[noreturn]] void ExecZrqctl(const std::string& root, const std::vector<std::string>& args,
    int outPipe[2], int errPipe[2], int timeoutS, int input = -1)
{
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    dup2(input >= 0 ? input : open("/dev/null", O_RDONLY), 0);
    alarm(static_cast<unsigned>(timeoutS));
    std::vector<char*> argv;
    std::string program = ZRQ_ZRQCTL;
    std::string rootOption = "--root=" + root;
    argv.push_back(&program[0]);
    argv.push_back(&rootOption[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

Outcome RunZrqctl(const std::string& root, const std::vector<std::string>& args, int timeoutS)
{
    int outPipe[2], errPipe[2];
    Outcome outcome;
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return outcome;
    pid_t pid = fork();
    if (pid == 0)
        ExecZrqctl(root, args, outPipe, errPipe, timeoutS);
    close(outPipe[1]);
    close(errPipe[1]);
    // Small outputs: reading one pipe to its end before the other cannot block.
    outcome.out = Slurp(outPipe[0]);
    outcome.err = Slurp(errPipe[0]);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

ZrqctlProcess::~ZrqctlProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
    if (keysFd_ >= 0)
        close(keysFd_);
}

bool ZrqctlProcess::Start(const std::string& root, const std::vector<std::string>& args, bool keys)
{
    int outPipe[2], errPipe[2], keysPipe[2] = {-1, -1};
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0 || (keys && pipe(keysPipe) != 0))
        return false;
    pid_ = fork();
    if (pid_ == 0) {
        if (keys)
            close(keysPipe[1]);
        ExecZrqctl(root, args, outPipe, errPipe, 120, keysPipe[0]);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (keys) {
        close(keysPipe[0]);
        keysFd_ = keysPipe[1];
    }
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    return pid_ > 0;
}

void ZrqctlProcess::Type(const std::string& bytes)
{
    if (keysFd_ >= 0 && write(keysFd_, bytes.data(), bytes.size()) < 0)
        ADD_FAILURE() << "could not type into zrqctl";
}

bool ZrqctlProcess::WaitForOutput(const std::string& want, int timeoutMs)
{
    return ReadUntil(outFd_, want, timeoutMs, &out).find(want) != std::string::npos;
}

int ZrqctlProcess::Wait(int timeoutMs)
{
    int code = WaitExit(pid_, timeoutMs);
    pid_ = -1;
    // The process is gone, so both pipes are at their ends.
    out += Slurp(outFd_);
    err += Slurp(errFd_);
    return code == -1000 ? code : code < 0 ? 128 - code : code;
}

#endif
