// COMn over a network serial server: Debian's ser2net on loopback in front of
// zrq-boxsim's pseudo-terminal, RFC 2217 on one port and raw TCP on another,
// and small scripted servers for what ser2net never does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback.h"
#include "pty_support.h"
#include "zrqapi.h"
#include "zrqctl_support.h"

#if defined(ZRQ_BOXSIM) && defined(ZRQ_ZRQCTL)

namespace {

const char* Ser2netPath()
{
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (access(path, X_OK) == 0)
            return path;
    return nullptr;
}

std::string ReadText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// ser2net with a configuration the test writes: RFC 2217 and raw TCP, both
// in front of the same terminal, on ports chosen free now.
class Ser2net {
public:
    ~Ser2net() { Stop(SIGTERM); }

    bool Start(const std::string& dir, const std::string& tty)
    {
        if (rfcPort_ < 0) {
            rfcPort_ = bench::FreeLoopbackPort();
            rawPort_ = bench::FreeLoopbackPort();
            config_ = dir + "/ser2net.yaml";
            std::ofstream(config_)
                << "%YAML 1.1\n---\n"
                << "connection: &rfc\n    accepter: telnet(rfc2217),tcp,127.0.0.1," << rfcPort_
                << "\n    connector: serialdev," << tty << ",38400n81,local\n"
                << "connection: &raw\n    accepter: tcp,127.0.0.1," << rawPort_
                << "\n    connector: serialdev," << tty << ",38400n81,local\n";
        }
        pid_ = fork();
        if (pid_ == 0) {
            int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
            alarm(120);  // never outlive a hung test
            execl(Ser2netPath(), "ser2net", "-n", "-d", "-c", config_.c_str(), nullptr);
            _exit(127);
        }
        for (double end = MonotonicSeconds() + 5; MonotonicSeconds() < end; usleep(20000))
            if (bench::LoopbackListening(rfcPort_) && bench::LoopbackListening(rawPort_))
                return true;
        return false;
    }

    void Stop(int signal)
    {
        if (pid_ > 0) {
            kill(pid_, signal);
            WaitExit(pid_, 5000);
        }
        pid_ = -1;
    }

    std::string Url(bool rfc2217) const
    {
        return rfc2217 ? "rfc2217://127.0.0.1:" + std::to_string(rfcPort_)
                       : "tcp://127.0.0.1:" + std::to_string(rawPort_);
    }

private:
    pid_t pid_ = -1;
    int rfcPort_ = -1;
    int rawPort_ = -1;
    std::string config_;
};

class NetSerial : public ZrqctlTest {
protected:
    void SetUp() override
    {
        if (Ser2netPath() == nullptr)
            GTEST_SKIP() << "ser2net is not installed (Debian package ser2net)";
        ZrqctlTest::SetUp();
        setenv("ZRQAPI_ROOT", root.c_str(), 1);
    }
    void TearDown() override
    {
        if (NirekIsInstalled())
            Kap_Finish();
        unsetenv("ZRQAPI_COM1");
        unsetenv("ZRQAPI_ROOT");
        ZrqctlTest::TearDown();
    }

    // A box behind ser2net, its records in root/<tag>.log and .svg.
    void StartBoxBehindServer(BoxSimProcess* sim, Ser2net* server, const std::string& tag)
    {
        ASSERT_TRUE(sim->Start(
            {"--log", root + "/" + tag + ".log", "--svg", root + "/" + tag + ".svg"}, true));
        ASSERT_TRUE(server->Start(root, sim->path())) << "ser2net did not listen";
    }
};

// The box's log without times and without the status queries, whose number
// depends on timing.
std::string Commands(const std::string& log)
{
    std::string commands;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::string event = line.substr(line.find(' ') + 1);
        if (event.compare(0, 2, "S ") != 0 && event.compare(0, 1, "n") != 0)
            commands += event + "\n";
    }
    return commands;
}

// zrqctl's report less the lines that say how long things took.
std::string WithoutTimes(const std::string& out)
{
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" done in ") == std::string::npos)
            kept += line + "\n";
    return kept;
}

const char kStar[]
    = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="40mm" height="40mm" viewBox="0 0 40 40">
  <path d="M20 2 L25 15 L38 15 L28 24 L32 38 L20 29 L8 38 L12 24 L2 15 L15 15 Z"/>
  <circle cx="20" cy="20" r="6"/>
</svg>
)svg";

TEST_F(NetSerial, InitMovesAndAJobOverBothSchemesReachTheBoxAsOverTheLocalLine)
{
    std::string star = File("star.svg", kStar);
    // Negative targets put 0xFF bytes into the frames' counts.
    std::string steps = "init --com 1 velocity 200 move-xy -1in -0.5in wait move-xyz 0.25in -3mil "
                        "-0.1in wait pos job "
        + star + " --feed 300";
    BoxSimProcess local;
    ASSERT_TRUE(local.Start(
        {"--link", root + "/dev/com1", "--log", root + "/local.log", "--svg", root + "/local.svg"},
        true));
    Outcome direct = Run(steps);
    ASSERT_EQ(direct.status, 0) << direct.out << direct.err;
    local.Stop();
    unlink((root + "/dev/com1").c_str());
    std::string localCommands = Commands(ReadText(root + "/local.log"));
    ASSERT_NE(localCommands.find("a -8192000 -4096000"), std::string::npos) << localCommands;

    for (bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        std::string tag = rfc2217 ? "rfc" : "raw";
        BoxSimProcess sim;
        Ser2net server;
        StartBoxBehindServer(&sim, &server, tag);
        setenv("ZRQAPI_COM1", server.Url(rfc2217).c_str(), 1);
        Outcome run = RunZrqctl(root, Words("--trace-wire " + root + "/" + tag + ".wire " + steps));
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(WithoutTimes(run.out), WithoutTimes(direct.out));
        server.Stop(SIGTERM);
        sim.Stop();
        EXPECT_EQ(Commands(ReadText(root + "/" + tag + ".log")), localCommands);
        EXPECT_EQ(ReadText(root + "/" + tag + ".svg"), ReadText(root + "/local.svg"));
        // The trace holds the box's bytes: the sync lead first, and no Telnet
        // (the port settings' IAC SB COM-PORT) anywhere.
        std::string wire = ReadText(root + "/" + tag + ".wire");
        EXPECT_NE(wire.find("> 7f 7f 7f 7f"), std::string::npos);
        EXPECT_EQ(wire.find("ff fa 2c"), std::string::npos);
    }
}

TEST_F(NetSerial, ServerKilledMidJobFailsTheCallAtOnceAndTheNextOpenWorks)
{
    BoxSimProcess sim;
    Ser2net server;
    StartBoxBehindServer(&sim, &server, "killed");
    setenv("ZRQAPI_COM1", server.Url(true).c_str(), 1);
    ASSERT_EQ(Kap_InitOnCom(1), 0) << Kap_GetErrorString();
    Kap_SetWaitMode(1);
    double killedAt = 0;
    std::thread killer([&] {
        usleep(400000);
        killedAt = MonotonicSeconds();
        server.Stop(SIGKILL);
    });
    int32_t result = 0;
    double failedAt = 0;
    double end = MonotonicSeconds() + 20;
    for (int i = 0; result == 0 && MonotonicSeconds() < end; ++i) {
        result = Kap_MoveXY(i % 2 == 0 ? -500 : 500, i % 3 == 0 ? -250 : 250);
        failedAt = MonotonicSeconds();
    }
    killer.join();
    ASSERT_NE(result, 0) << "moves went on after the server was killed";
    double failSeconds = failedAt - killedAt;
    printf("first failed call %.3f s after the server was killed (result %d: %s)\n", failSeconds,
        static_cast<int>(result), Kap_GetErrorString());
    // Only a bound that catches a hang; the figure is printed above.
    EXPECT_LT(failSeconds, 10.0);
    Kap_Finish();

    ASSERT_TRUE(server.Start(root, sim.path()));
    ASSERT_EQ(Kap_InitOnCom(1), 0) << Kap_GetErrorString();
    EXPECT_EQ(Kap_MoveXY(100, 100), 0);
}

// The probe's line break reaches a box at its prompt as the server's break.
TEST_F(NetSerial, ABoxAtItsPromptIsWokenThroughTheServer)
{
    BoxSimProcess sim;
    Ser2net server;
    ASSERT_TRUE(sim.Start({"--prompt"}, true));
    ASSERT_TRUE(server.Start(root, sim.path()));
    setenv("ZRQAPI_COM1", server.Url(true).c_str(), 1);
    Outcome run = Run("--trace-wire " + root + "/prompt.wire init --com 1 id");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("id ZRQBOX.1"), std::string::npos) << run.out;
    EXPECT_NE(ReadText(root + "/prompt.wire").find(" break"), std::string::npos);
}

// A listener that takes the connection and then runs script on it.
class ScriptedServer {
public:
    template<typename Script> explicit ScriptedServer(Script script)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            int client = accept(listener_, nullptr, nullptr);
            if (client >= 0) {
                script(client);
                close(client);
            }
        });
    }
    ~ScriptedServer()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    int port = -1;

private:
    int listener_ = -1;
    std::thread thread_;
};

void SendAll(int fd, const std::vector<uint8_t>& bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += static_cast<size_t>(n);
    }
}

// Floods options, sends a 64 KiB subnegotiation, then declines COM-PORT.
void HostileServer(int client)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 30000; ++i)
        bytes.insert(
            bytes.end(), {0xFF, static_cast<uint8_t>(0xFB + i % 4), static_cast<uint8_t>(i)});
    bytes.insert(bytes.end(), {0xFF, 0xFA, 0x2C, 0x65});
    bytes.resize(bytes.size() + 65536, 0x00);
    bytes.insert(bytes.end(), {0xFF, 0xF0, 0xFF, 0xFE, 0x2C});
    SendAll(client, bytes);
    char sink[4096];
    while (recv(client, sink, sizeof sink, 0) > 0) { }
}

// Takes the connection and says nothing until the client gives up.
void SilentServer(int client)
{
    char sink[256];
    while (recv(client, sink, sizeof sink, 0) > 0) { }
}

TEST_F(NetSerial, OpensThatCannotSucceedFailWithinSecondsSayingWhy)
{
    ScriptedServer hostile(HostileServer);
    ScriptedServer silent(SilentServer);
    std::string closed = std::to_string(bench::FreeLoopbackPort());
    const struct {
        std::string url;
        std::string says;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + closed,
            "cannot connect to host 127.0.0.1 port " + closed + ": Connection refused"},
        {"tcp://127.0.0.1:" + closed, "Connection refused"},
        {"rfc2217://127.0.0.1:" + std::to_string(hostile.port),
            "the server does not offer the COM-PORT option"},
        {"rfc2217://127.0.0.1:" + std::to_string(silent.port), "no Telnet negotiation"},
        {"http://127.0.0.1:80", "ZRQAPI_COM1 must hold rfc2217://HOST:PORT or tcp://HOST:PORT"},
        {"rfc2217://127.0.0.1", "must hold"},
        {"tcp://127.0.0.1:99999", "must hold"},
    };
    for (const auto& c : cases) {
        setenv("ZRQAPI_COM1", c.url.c_str(), 1);
        double start = MonotonicSeconds();
        Outcome run = Run("init --com 1");
        double seconds = MonotonicSeconds() - start;
        EXPECT_EQ(run.status, 7) << c.url << "\n" << run.err;
        EXPECT_NE(run.err.find("zrqapi: COM1 = " + c.url + ": "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_LT(seconds, 5.0) << c.url;
    }
    // The file under dev/ maps the port where the variable does not, and the
    // variable wins over it.
    unsetenv("ZRQAPI_COM1");
    File("dev/com1", "telnet://box:23\n");
    Outcome fromFile = Run("init --com 1");
    EXPECT_EQ(fromFile.status, 7);
    EXPECT_NE(
        fromFile.err.find(root + "/dev/com1 must hold rfc2217://HOST:PORT"), std::string::npos)
        << fromFile.err;
    setenv("ZRQAPI_COM1", ("tcp://127.0.0.1:" + closed).c_str(), 1);
    EXPECT_NE(Run("init --com 1").err.find("Connection refused"), std::string::npos);
}

TEST_F(NetSerial, ASecondClientIsRefusedAsABusyPortIs)
{
    BoxSimProcess sim;
    Ser2net server;
    StartBoxBehindServer(&sim, &server, "busy");
    for (bool rfc2217 : {true, false}) {
        setenv("ZRQAPI_COM1", server.Url(rfc2217).c_str(), 1);
        ASSERT_EQ(Kap_InitOnCom(1), 0) << Kap_GetErrorString();
        // Both schemes reach the one terminal, so either is refused while
        // this process holds it.
        for (bool second : {true, false}) {
            setenv("ZRQAPI_COM1", server.Url(second).c_str(), 1);
            Outcome run = Run("init --com 1");
            EXPECT_EQ(run.status, 7) << run.err;
            EXPECT_NE(run.err.find("the server refused the port"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(strerror(EBUSY)), std::string::npos) << run.err;
        }
        int32_t x = 0, y = 0, z = 0;
        EXPECT_EQ(Kap_GetMachinePosition(&x, &y, &z), 0);
        Kap_Finish();
        // The server lets the terminal go a moment after the client leaves.
        usleep(300000);
    }
}

TEST_F(NetSerial, PortsAndDoctorShowTheMappingAndCheckTheServer)
{
    BoxSimProcess sim;
    Ser2net server;
    StartBoxBehindServer(&sim, &server, "doctor");
    setenv("ZRQAPI_COM1", server.Url(true).c_str(), 1);
    File("dev/com2", server.Url(false) + "\r\n");
    setenv("ZRQAPI_COM3", "socket://127.0.0.1:1", 1);
    Outcome ports = Run("ports");
    unsetenv("ZRQAPI_COM3");
    EXPECT_EQ(ports.status, 0) << ports.err;
    for (const std::string& line : {"COM1 (" + server.Url(true)
                 + " from ZRQAPI_COM1): network serial server, RFC 2217; "
                   "not contacted",
             "COM2 (" + server.Url(false) + " from " + root
                 + "/dev/com2): network serial server, raw TCP",
             std::string("COM3 (socket://127.0.0.1:1 from ZRQAPI_COM3): \"socket://127.0.0.1:1\" "
                         "from ZRQAPI_COM3 is no rfc2217://HOST:PORT or tcp://HOST:PORT URL")})
        EXPECT_NE(ports.out.find(line), std::string::npos) << line << "\n" << ports.out;

    File("qorin/qorin.cfg", "1 COMPORT box on the network\n");
    Outcome doctor = Run("doctor");
    EXPECT_EQ(doctor.status, 0) << doctor.out << doctor.err;
    for (const char* line : {"server reachable, RFC 2217 agreed, 38400 8N1 without flow control "
                             "accepted",
             "ok    probe: the box runs the protocol", "all checks passed"})
        EXPECT_NE(doctor.out.find(line), std::string::npos) << line << "\n" << doctor.out;

    server.Stop(SIGTERM);
    doctor = Run("doctor");
    EXPECT_EQ(doctor.status, 1);
    EXPECT_NE(
        doctor.out.find("FAIL  COM1 (" + server.Url(true) + " from ZRQAPI_COM1) would not open"),
        std::string::npos)
        << doctor.out;
    EXPECT_NE(doctor.err.find("Connection refused"), std::string::npos) << doctor.err;
}

}  // namespace

#endif
