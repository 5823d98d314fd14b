// terminal N --hex: the dumb terminal for binary traffic. Keys go to the
// port as typed; what the port sends is shown as hex, 16 bytes a line, and a
// pause in the traffic ends the line. The library's terminal writes bytes as
// characters, so this one opens the port itself, as the library would.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "command.h"
#include "handlers.h"
#include "portcheck.h"
#include "stop.h"
#include "zrqapi.h"
#include "zrqctl.h"

namespace {

const int kKeyQuit = 1;   // Ctrl-A, as in the library's terminal
const int kKeyBreak = 2;  // Ctrl-B
const int kBytesPerLine = 16;
const int kPauseMs = 200;  // a pause this long ends the line
const int kBreakMs = 100;

int OpenLine(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &tio) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

}  // namespace

int RunTerminalHex(const Command& c)
{
    int32_t port = c.args[0];
    if (port < kFirstComPort || port > kLastComPort)
        return Fail(c, 1, "the port number must be 1 to 8");
    PortReport report = CheckPort(port);
    if (report.net.mapped) {
        // This terminal reads a local line; the server's Telnet layer is the
        // library's to speak, and its own terminal does.
        fprintf(stderr,
            "zrqctl: %sterminal: COM%d is mapped to %s (%s); --hex reads a local line only: use "
            "'terminal %d' without --hex\n",
            c.where.c_str(), port, report.net.url.c_str(), report.net.source.c_str(), port);
        return ZRQ_CANT_OPEN_PORT;
    }
    int line = OpenLine(report.device);
    if (line < 0) {
        std::string problem = PortProblem(report);
        fprintf(stderr, "zrqctl: %sterminal: %s: %s\n", c.where.c_str(), PortLabel(report).c_str(),
            problem.empty() ? strerror(errno) : problem.c_str());
        // As the library's terminal: a port that cannot be opened is 7.
        return ZRQ_CANT_OPEN_PORT;
    }
    struct termios saved;
    bool console = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (console) {
        struct termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    printf("%s: bytes received in hex. Ctrl-A quits, Ctrl-B sends a break.\n",
        PortLabel(report).c_str());
    fflush(stdout);
    int column = 0;
    while (!StopRequested()) {
        struct pollfd fds[2] = {{line, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int ready = poll(fds, 2, column > 0 ? kPauseMs : -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            printf("\n");  // a pause ends the line
            column = 0;
            fflush(stdout);
            continue;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        if (fds[0].revents & POLLIN) {
            unsigned char bytes[256];
            ssize_t n = read(line, bytes, sizeof bytes);
            for (ssize_t i = 0; i < n; ++i) {
                printf(column == 0 ? "%02x" : " %02x", bytes[i]);
                if (++column == kBytesPerLine) {
                    printf("\n");
                    column = 0;
                }
            }
            fflush(stdout);
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            unsigned char key;
            // End of input quits, as in the library's terminal.
            if (read(STDIN_FILENO, &key, 1) != 1 || key == kKeyQuit)
                break;
            if (key == kKeyBreak) {
                tcsendbreak(line, 0);
                usleep(kBreakMs * 1000);
            } else if (write(line, &key, 1) != 1) {
                break;
            }
        }
    }
    if (column > 0)
        printf("\n");
    fflush(stdout);
    if (console)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    close(line);
    return StopRequested() ? StopNow() : 0;
}
