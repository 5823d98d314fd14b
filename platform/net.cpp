// The network backend under COMn: one socket per open port, shared by the
// POSIX and Windows builds; the few calls that differ sit in the block below.
#ifdef _WIN32
// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/net.h"
#include "platform/telnet.h"

#ifdef _WIN32
typedef SOCKET NetSocket;
static const NetSocket kNoSocket = INVALID_SOCKET;
static const int32_t kErrBusy = ERROR_ACCESS_DENIED;  // what a COM port in use gives
static const int32_t kErrClosed = WSAECONNRESET;
static const int32_t kErrBadUrl = ERROR_BAD_PATHNAME;
static const int32_t kErrTimedOut = WSAETIMEDOUT;
static const int32_t kErrRefusedSettings = ERROR_NOT_SUPPORTED;
static const int32_t kErrTooMany = ERROR_TOO_MANY_OPEN_FILES;
static const int kSendFlags = 0;

static int32_t SocketError()
{
    return WSAGetLastError();
}

static bool WouldBlock(int32_t error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR;
}

static void CloseSocket(NetSocket s)
{
    closesocket(s);
}

// A Windows process has no forked children sharing its sockets.
static int ProcessId()
{
    return 0;
}

static bool StartSockets()
{
    static bool started = false;
    WSADATA data;
    if (!started)
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started;
}

static void SetNonBlocking(NetSocket s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

// select, not WSAPoll: older WSAPoll never reports a refused connect.
static int WaitSocket(NetSocket s, bool forWrite, uint32_t micros)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(micros / 1000000u);
    tv.tv_usec = static_cast<long>(micros % 1000000u);
    int n = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}
#else
typedef int NetSocket;
static const NetSocket kNoSocket = -1;
static const int32_t kErrBusy = EBUSY;
static const int32_t kErrClosed = ECONNRESET;
static const int32_t kErrBadUrl = EINVAL;
static const int32_t kErrTimedOut = ETIMEDOUT;
static const int32_t kErrRefusedSettings = EPROTO;
static const int32_t kErrTooMany = EMFILE;
// A peer gone away fails the send instead of killing the process.
static const int kSendFlags = MSG_NOSIGNAL;

static int32_t SocketError()
{
    return errno;
}

static bool WouldBlock(int32_t error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS || error == EINTR;
}

static void CloseSocket(NetSocket s)
{
    close(s);
}

static int ProcessId()
{
    return static_cast<int>(getpid());
}

static bool StartSockets()
{
    return true;
}

static void SetNonBlocking(NetSocket s)
{
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    fcntl(s, F_SETFD, FD_CLOEXEC);
}

static int WaitSocket(NetSocket s, bool forWrite, uint32_t micros)
{
    struct pollfd pfd = {s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    struct timespec ts;
    ts.tv_sec = micros / 1000000u;
    ts.tv_nsec = static_cast<long>(micros % 1000000u) * 1000L;
    int n = ppoll(&pfd, 1, &ts, nullptr);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    return n;
}
#endif

// Connect and settle within these, so that an open fails in under 5 s.
static const uint32_t kConnectMicros = 3000000;
static const uint32_t kNegotiateMicros = 1500000;
// A raw server that refuses a second client says so and hangs up at once.
static const uint32_t kRawSettleMicros = 100000;

struct NetLine {
    NetSocket socket = kNoSocket;
    bool rfc2217 = false;
    int32_t deadError = 0;  // non-zero once the connection is gone
    int owner = 0;          // the process that opened it
    TelnetSession telnet;
    // Bytes a raw server sent before the first read.
    uint8_t pending[64] = {};
    uint32_t pendingLength = 0;
    uint32_t pendingPos = 0;
};
static const int kMaxNetLines = 8;
static NetLine s_lines[kMaxNetLines];

static int32_t s_lastError = 0;
static int32_t s_detailCode = 0;
static char s_detail[400];

static int Fail(int32_t error)
{
    s_lastError = error;
    return 0;
}

int32_t NetLastError()
{
    return s_lastError;
}

static uint64_t NowMicros()
{
    static uint64_t frequency = 0;
    if (frequency == 0 && !PlatCounterFrequency(&frequency))
        frequency = 1000000u;
    uint64_t now = PlatCounterNow();
    return now / frequency * 1000000u + now % frequency * 1000000u / frequency;
}

static uint32_t Remaining(uint64_t deadline)
{
    uint64_t now = NowMicros();
    return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
}

static NetLine* Find(PlatHandle device)
{
    for (NetLine& line : s_lines)
        if (line.socket != kNoSocket && static_cast<PlatHandle>(line.socket) == device)
            return &line;
    return nullptr;
}

int NetOwns(PlatHandle device)
{
    return device != kPlatNoHandle && Find(device) != nullptr;
}

// --- Mapping -------------------------------------------------------------

static void TrimLine(char* text)
{
    size_t n = strcspn(text, "\r\n");
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        --n;
    text[n] = '\0';
}

int NetMapping(int32_t portNumber, char* url, size_t size, const char** source)
{
    static char variable[32];
    snprintf(variable, sizeof variable, "ZRQAPI_COM%d", static_cast<int>(portNumber));
    const char* value = getenv(variable);
    if (value != nullptr && value[0] != '\0') {
        snprintf(url, size, "%s", value);
        TrimLine(url);
        *source = variable;
        return 1;
    }
#ifndef _WIN32
    // A regular file, not a link: the link to a tty is the local port.
    static char path[kPlatMaxPath];
    snprintf(path, sizeof path, "%s/dev/com%d", PlatRoot(), static_cast<int>(portNumber));
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    url[0] = '\0';
    if (FILE* file = fopen(path, "rb")) {
        if (fgets(url, static_cast<int>(size), file) == nullptr)
            url[0] = '\0';
        fclose(file);
    }
    TrimLine(url);
    *source = path;
    return 1;
#else
    return 0;
#endif
}

struct NetAddress {
    bool rfc2217 = false;
    char host[256] = {};
    char service[8] = {};
};

// rfc2217://HOST:PORT or tcp://HOST:PORT; HOST a name, an IPv4 address or an
// IPv6 address in brackets; a trailing slash is allowed, nothing else.
static bool ParseUrl(const char* url, NetAddress* address)
{
    const char* rest;
    if (strncmp(url, "rfc2217://", 10) == 0) {
        address->rfc2217 = true;
        rest = url + 10;
    } else if (strncmp(url, "tcp://", 6) == 0) {
        rest = url + 6;
    } else {
        return false;
    }
    const char* hostEnd;
    const char* colon;
    if (*rest == '[') {
        ++rest;
        hostEnd = strchr(rest, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':')
            return false;
        colon = hostEnd + 1;
    } else {
        colon = strrchr(rest, ':');
        if (colon == nullptr)
            return false;
        hostEnd = colon;
    }
    size_t hostLength = static_cast<size_t>(hostEnd - rest);
    if (hostLength == 0 || hostLength >= sizeof address->host)
        return false;
    for (const char* c = rest; c < hostEnd; ++c)
        if (*c <= ' ' || *c == '/' || *c == '@' || *c == '[' || *c == ']')
            return false;
    memcpy(address->host, rest, hostLength);
    address->host[hostLength] = '\0';
    long port = 0;
    const char* digit = colon + 1;
    for (; *digit >= '0' && *digit <= '9' && port <= 65535; ++digit)
        port = port * 10 + (*digit - '0');
    if (digit == colon + 1 || port < 1 || port > 65535)
        return false;
    if (!(*digit == '\0' || (digit[0] == '/' && digit[1] == '\0')))
        return false;
    snprintf(address->service, sizeof address->service, "%ld", port);
    return true;
}

// --- Failures of the open, with the URL and reason -------------------------

static int OpenFailed(int32_t portNumber, const char* url, int32_t code, const char* reason)
{
    char system[200] = "";
    s_detailCode = 0;
    if (code != kErrBadUrl && code != kErrRefusedSettings)
        PlatErrorMessage(code, system, sizeof system);
    // The reason alone stands for the error's text (the terminal has a line
    // for it); the line on standard error, the operator's only clue when
    // the caller shows just a result code, names the port and URL too.
    snprintf(s_detail, sizeof s_detail, "%s%s%s", reason, system[0] != '\0' ? ": " : "", system);
    s_detailCode = code;
    fprintf(stderr, "zrqapi: COM%d = %s: %s\n", static_cast<int>(portNumber), url, s_detail);
    return Fail(code);
}

size_t NetErrorMessage(int32_t code, char* buffer, size_t size)
{
    if (size == 0 || code == 0 || code != s_detailCode)
        return 0;
    snprintf(buffer, size, "%s", s_detail);
    return strlen(buffer);
}

// --- Sending ---------------------------------------------------------------

static void MarkDead(NetLine* line, int32_t error)
{
    if (line->deadError == 0)
        line->deadError = error != 0 ? error : kErrClosed;
}

// Sends all bytes, waiting for room while the connection keeps taking them;
// nothing taken for the stall bound fails the send as a stalled line does.
static int SendAll(NetLine* line, const uint8_t* bytes, size_t n)
{
    uint64_t lastProgress = NowMicros();
    size_t sent = 0;
    while (sent < n) {
        int k = static_cast<int>(send(line->socket, reinterpret_cast<const char*>(bytes + sent),
            static_cast<int>(n - sent), kSendFlags));
        if (k > 0) {
            sent += static_cast<size_t>(k);
            lastProgress = NowMicros();
            continue;
        }
        int32_t error = SocketError();
        if (k < 0 && WouldBlock(error)) {
            uint64_t idle = NowMicros() - lastProgress;
            if (idle >= kPlatWriteStallMicros)
                return Fail(kPlatErrorLineStalled);
            if (WaitSocket(line->socket, true, static_cast<uint32_t>(kPlatWriteStallMicros - idle))
                >= 0)
                continue;
            error = SocketError();
        }
        MarkDead(line, error);
        return Fail(line->deadError);
    }
    return 1;
}

static int SendReplies(NetLine* line)
{
    TelnetSession* t = &line->telnet;
    size_t n = t->replyLength;
    t->replyLength = 0;
    return n == 0 || SendAll(line, t->reply, n);
}

// Takes what has arrived (waiting for none): -1 connection gone, else the
// data bytes put into buffer.
static int ReceiveNow(NetLine* line, uint8_t* buffer, uint32_t max)
{
    uint8_t raw[256];
    if (max > sizeof raw)
        max = sizeof raw;
    int n = static_cast<int>(
        recv(line->socket, reinterpret_cast<char*>(raw), static_cast<int>(max), 0));
    if (n == 0) {
        MarkDead(line, kErrClosed);
        return -1;
    }
    if (n < 0) {
        int32_t error = SocketError();
        if (WouldBlock(error))
            return 0;
        MarkDead(line, error);
        return -1;
    }
    if (!line->rfc2217) {
        memcpy(buffer, raw, static_cast<size_t>(n));
        return n;
    }
    size_t data = TelnetDecode(&line->telnet, raw, static_cast<size_t>(n), buffer);
    // A failed answer marks the line dead; the data that came with it is
    // still handed out (a refusing server's words among it).
    SendReplies(line);
    return static_cast<int>(data);
}

// --- Opening ---------------------------------------------------------------

static int Connect(int32_t portNumber, const char* url, const NetAddress& address, NetSocket* out)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    char reason[400];
    int lookup = getaddrinfo(address.host, address.service, &hints, &found);
    if (lookup != 0) {
#ifdef _WIN32
        int32_t code = lookup;
        snprintf(reason, sizeof reason, "cannot resolve host %s", address.host);
#else
        int32_t code = EHOSTUNREACH;
        snprintf(reason, sizeof reason, "cannot resolve host %s (%s)", address.host,
            gai_strerror(lookup));
#endif
        return OpenFailed(portNumber, url, code, reason);
    }
    uint64_t deadline = NowMicros() + kConnectMicros;
    int32_t error = kErrTimedOut;
    NetSocket s = kNoSocket;
    for (struct addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) {
            error = SocketError();
            continue;
        }
        SetNonBlocking(s);
        int k = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
        if (k != 0 && WouldBlock(SocketError())) {
            int ready = WaitSocket(s, true, Remaining(deadline));
            int soError = 0;
            socklen_t length = sizeof soError;
            k = -1;
            if (ready == 0)
                error = kErrTimedOut;
            else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length)
                != 0)
                error = SocketError();
            else if (soError != 0)
                error = soError;
            else
                k = 0;
        } else if (k != 0) {
            error = SocketError();
        }
        if (k != 0) {
            CloseSocket(s);
            s = kNoSocket;
        }
    }
    freeaddrinfo(found);
    if (s == kNoSocket) {
        snprintf(reason, sizeof reason, "cannot connect to host %s port %s", address.host,
            address.service);
        return OpenFailed(portNumber, url, error, reason);
    }
    // Every frame waits for its acknowledgement: no Nagle delay on the way out.
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    *out = s;
    return 1;
}

// What a server said before it hung up ("Port already in use"): printable
// bytes only, for the message.
static void KeepText(char* said, size_t size, const uint8_t* data, int n)
{
    size_t at = strlen(said);
    for (int i = 0; i < n && at + 1 < size; ++i)
        if (data[i] >= ' ' && data[i] < 0x7f)
            said[at++] = static_cast<char>(data[i]);
    said[at] = '\0';
}

static int ServerHungUp(int32_t portNumber, const char* url, NetLine* line, const char* said)
{
    char reason[200];
    if (said[0] != '\0') {
        // The server's own words, and the error a port in use gives.
        snprintf(reason, sizeof reason, "the server refused the port (\"%s\")", said);
        return OpenFailed(portNumber, url, kErrBusy, reason);
    }
    if (line->deadError == 0)
        return OpenFailed(portNumber, url, s_lastError, "the server takes nothing");
    return OpenFailed(portNumber, url, line->deadError, "the server closed the connection");
}

static const uint8_t kSettingCommands[] = {kComPortSetBaud, kComPortSetDataSize, kComPortSetParity,
    kComPortSetStopSize, kComPortSetControl};

static void QueueSettings(TelnetSession* t)
{
    const uint8_t baud[4] = {0, 0, 0x96, 0x00};  // 38400, big-endian
    const uint8_t eight = 8;
    TelnetComPortCommand(t, kComPortSetBaud, baud, 4);
    TelnetComPortCommand(t, kComPortSetDataSize, &eight, 1);
    TelnetComPortCommand(t, kComPortSetParity, &kComPortParityNone, 1);
    TelnetComPortCommand(t, kComPortSetStopSize, &kComPortStopOne, 1);
    TelnetComPortCommand(t, kComPortSetControl, &kComPortNoFlowControl, 1);
}

static bool SettingsAnswered(const TelnetSession* t)
{
    for (uint8_t command : kSettingCommands)
        if ((t->answered & (1u << command)) == 0)
            return false;
    return true;
}

// Options agreed, then 38400 8N1 without flow control asked for and the
// server's answers checked against it.
static int Negotiate(int32_t portNumber, const char* url, NetLine* line)
{
    TelnetSession* t = &line->telnet;
    TelnetStart(t);
    uint64_t deadline = NowMicros() + kNegotiateMicros;
    bool settingsAsked = false;
    char said[80] = "";
    for (;;) {
        if (!settingsAsked && TelnetReady(t)) {
            QueueSettings(t);
            settingsAsked = true;
        }
        if (!SendReplies(line))
            return ServerHungUp(portNumber, url, line, said);
        if (settingsAsked && SettingsAnswered(t))
            break;
        if (TelnetComPortRefused(t))
            return OpenFailed(portNumber, url, kErrRefusedSettings,
                "the server does not offer the COM-PORT option (RFC 2217)");
        uint32_t left = Remaining(deadline);
        if (left == 0) {
            const char* reason = settingsAsked
                ? "the server did not answer the port settings"
                : "no Telnet negotiation from the server (a raw TCP port? use tcp://)";
            return OpenFailed(portNumber, url, kErrTimedOut, reason);
        }
        if (WaitSocket(line->socket, false, left) <= 0)
            continue;
        uint8_t data[256];
        int n = ReceiveNow(line, data, sizeof data);
        if (n > 0)
            KeepText(said, sizeof said, data, n);
        if (line->deadError != 0)
            return ServerHungUp(portNumber, url, line, said);
    }
    if (t->baud != 38400 || t->dataSize != 8 || t->parity != kComPortParityNone
        || t->stopSize != kComPortStopOne || t->control != kComPortNoFlowControl) {
        char reason[200];
        snprintf(reason, sizeof reason,
            "the server set %u baud, %u data bits, parity %u, stop %u, control %u "
            "instead of 38400 8N1 without flow control",
            static_cast<unsigned>(t->baud), t->dataSize, t->parity, t->stopSize, t->control);
        return OpenFailed(portNumber, url, kErrRefusedSettings, reason);
    }
    return 1;
}

// A raw server has nothing to agree; one that refuses a second client says so
// and hangs up at once, which a short look catches.
static int SettleRaw(int32_t portNumber, const char* url, NetLine* line)
{
    uint64_t deadline = NowMicros() + kRawSettleMicros;
    char said[80] = "";
    while (uint32_t left = Remaining(deadline)) {
        if (WaitSocket(line->socket, false, left) <= 0)
            continue;
        uint32_t room = sizeof line->pending - line->pendingLength;
        if (room == 0)
            break;
        int n = ReceiveNow(line, line->pending + line->pendingLength, room);
        if (n < 0)
            return ServerHungUp(portNumber, url, line, said);
        KeepText(said, sizeof said, line->pending + line->pendingLength, n);
        line->pendingLength += static_cast<uint32_t>(n);
    }
    return 1;
}

int NetSerialOpen(int32_t portNumber, PlatHandle* device)
{
    char url[300];
    const char* source = "";
    if (!NetMapping(portNumber, url, sizeof url, &source))
        return -1;
    NetAddress address;
    if (!ParseUrl(url, &address)) {
        char reason[kPlatMaxPath + 100];
        snprintf(
            reason, sizeof reason, "%s must hold rfc2217://HOST:PORT or tcp://HOST:PORT", source);
        return OpenFailed(portNumber, url[0] != '\0' ? url : "(nothing)", kErrBadUrl, reason);
    }
    NetLine* line = nullptr;
    for (NetLine& l : s_lines)
        if (l.socket == kNoSocket && line == nullptr)
            line = &l;
    if (line == nullptr)
        return Fail(kErrTooMany);
    if (!StartSockets())
        return OpenFailed(portNumber, url, SocketError(), "no network");
    NetSocket s = kNoSocket;
    if (!Connect(portNumber, url, address, &s))
        return 0;
    *line = NetLine();
    line->socket = s;
    line->rfc2217 = address.rfc2217;
    line->owner = ProcessId();
    int ok = address.rfc2217 ? Negotiate(portNumber, url, line) : SettleRaw(portNumber, url, line);
    if (!ok) {
        CloseSocket(s);
        *line = NetLine();
        return 0;
    }
    s_detailCode = 0;
    *device = static_cast<PlatHandle>(s);
    return 1;
}

// --- The port's calls ------------------------------------------------------

int NetSerialOwned(PlatHandle device)
{
    const NetLine* line = Find(device);
    return line->owner == ProcessId() && line->deadError == 0;
}

int NetSerialRead(PlatHandle device, uint8_t* buffer, uint32_t max, uint32_t* got)
{
    NetLine* line = Find(device);
    *got = 0;
    if (line->deadError != 0)
        return Fail(line->deadError);
    if (line->pendingPos < line->pendingLength) {
        while (*got < max && line->pendingPos < line->pendingLength)
            buffer[(*got)++] = line->pending[line->pendingPos++];
        return 1;
    }
    int n = ReceiveNow(line, buffer, max);
    if (n < 0)
        return Fail(line->deadError);
    *got = static_cast<uint32_t>(n);
    return 1;
}

int NetSerialWrite(PlatHandle device, const uint8_t* bytes, uint32_t n, uint32_t* written)
{
    NetLine* line = Find(device);
    *written = 0;
    if (line->deadError != 0)
        return Fail(line->deadError);
    while (*written < n) {
        uint8_t encoded[512];
        size_t consumed = n - *written;
        size_t length = consumed;
        if (line->rfc2217) {
            length
                = TelnetEncode(bytes + *written, n - *written, encoded, sizeof encoded, &consumed);
        } else {
            consumed = length = consumed < sizeof encoded ? consumed : sizeof encoded;
            memcpy(encoded, bytes + *written, length);
        }
        if (!SendAll(line, encoded, length))
            return 0;
        *written += static_cast<uint32_t>(consumed);
    }
    return 1;
}

static int SendComPort(NetLine* line, uint8_t command, const uint8_t* value, size_t n)
{
    if (!line->rfc2217)
        return 1;
    if (line->deadError != 0)
        return Fail(line->deadError);
    TelnetComPortCommand(&line->telnet, command, value, n);
    return SendReplies(line);
}

// Settings equal to what the server confirmed at open are not sent again.
int NetSerialSetBaud(PlatHandle device, uint32_t baud)
{
    NetLine* line = Find(device);
    if (baud == line->telnet.baud)
        return 1;
    const uint8_t value[4] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
        static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
    return SendComPort(line, kComPortSetBaud, value, 4);
}

int NetSerialSetFormat(PlatHandle device, int parity, int byteSize, int stopBits)
{
    NetLine* line = Find(device);
    // The system's numbering (none, odd, even, mark, space; one, 1.5, two
    // stop bits) to the option's.
    const uint8_t size = static_cast<uint8_t>(byteSize);
    const uint8_t parityCode = static_cast<uint8_t>(parity >= 0 && parity <= 4 ? parity + 1 : 1);
    const uint8_t stopCode = static_cast<uint8_t>(stopBits == 1 ? 3 : stopBits == 2 ? 2 : 1);
    TelnetSession* t = &line->telnet;
    int ok = 1;
    if (size != t->dataSize)
        ok &= SendComPort(line, kComPortSetDataSize, &size, 1);
    if (parityCode != t->parity)
        ok &= SendComPort(line, kComPortSetParity, &parityCode, 1);
    if (stopCode != t->stopSize)
        ok &= SendComPort(line, kComPortSetStopSize, &stopCode, 1);
    return ok;
}

// A raw TCP port has no way to send a break; the Telnet one asks the server.
void NetSerialBreak(PlatHandle device, int on)
{
    NetLine* line = Find(device);
    const uint8_t control = on ? kComPortBreakOn : kComPortBreakOff;
    SendComPort(line, kComPortSetControl, &control, 1);
}

void NetSerialClose(PlatHandle device)
{
    NetLine* line = Find(device);
    if (line == nullptr)
        return;
    CloseSocket(line->socket);
    *line = NetLine();
}

int NetSerialWaitReadable(PlatHandle device, uint32_t maxMicros)
{
    NetLine* line = Find(device);
    if (line->pendingPos < line->pendingLength)
        return 1;
    // A dead connection polls readable for ever; sleep the slice instead.
    if (line->deadError != 0) {
        PlatSleepMicros(maxMicros);
        return 0;
    }
    int ready = WaitSocket(line->socket, false, maxMicros);
    if (ready < 0)
        PlatSleepMicros(maxMicros);
    return ready > 0;
}
