// Pieces the pseudo-terminal tests share: a zrq-boxsim process, a scratch
// directory that stands for ZRQAPI_ROOT, a monotonic clock, and waits on
// child processes and terminal output.
#ifndef ZRQ_TESTS_PTY_PTY_SUPPORT_H
#define ZRQ_TESTS_PTY_PTY_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

double MonotonicSeconds();

// Reads from fd into *text until it holds want, the line closes or the time
// is up; returns *text.
std::string ReadUntil(int fd, const std::string& want, int timeoutMs, std::string* text);
// The exit code of pid, the ending signal as a negative number, or -1000
// when it had to be killed after timeoutMs.
int WaitExit(pid_t pid, int timeoutMs);

// A directory under /tmp with a dev/ folder, removed with all it holds.
class ScratchRoot {
public:
    explicit ScratchRoot(const char* tag);
    ~ScratchRoot();
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Points ZRQAPI_ROOT at this directory.
    void Use() const;
    // The COMn link the simulator serves: <root>/dev/comN.
    std::string ComLink(int port) const;
    void Write(const std::string& relative, const std::string& text) const;

private:
    std::string path_;
};

// One zrq-boxsim process over a new pseudo-terminal, ended with SIGTERM when
// the object goes.
class BoxSimProcess {
public:
    BoxSimProcess() = default;
    ~BoxSimProcess();
    BoxSimProcess(const BoxSimProcess&) = delete;
    BoxSimProcess& operator=(const BoxSimProcess&) = delete;

    // Starts it and waits for the terminal path it prints first (its link,
    // when --link is among the options, exists by then). quiet sends its
    // diagnostics to /dev/null.
    bool Start(const std::vector<std::string>& options, bool quiet = false);
    // Starts it serving COMn of root (--link root/dev/comN).
    bool StartOn(const ScratchRoot& root, int port, std::vector<std::string> options = {},
        bool quiet = true);
    // Signals it and returns its exit status (128 + the signal when killed).
    int Stop(int signal = SIGTERM);
    // Waits for it to exit by itself, killing it after seconds.
    int Wait(double seconds);

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& path() const { return path_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string path_;
};

#endif
