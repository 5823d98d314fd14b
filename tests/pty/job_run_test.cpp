// zrqctl job against zrq-boxsim: what the box drew matches the preview, and a
// job that is refused puts nothing on the wire.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <math.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_support.h"

#if defined(ZRQ_ZRQCTL) && defined(ZRQ_BOXSIM)

namespace {

// The simulator's default step: 12,500 x 10^-8 in, 8,000 steps an inch.
const double kStepsPerInch = 8000;

std::string ReadText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// In a child: zrqctl with the scratch root and the arguments, in place of it.
[[noreturn]] void ExecZrqctl(const ScratchRoot& root, const std::vector<std::string>& args)
{
    std::vector<std::string> words = {ZRQ_ZRQCTL, "--root=" + root.path()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

Outcome RunZrqctl(const ScratchRoot& root, const std::vector<std::string>& args)
{
    std::string outPath = root.path() + "/out.txt", errPath = root.path() + "/err.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(out, 1);
        dup2(err, 2);
        dup2(in, 0);
        ExecZrqctl(root, args);
    }
    Outcome outcome;
    outcome.status = WaitExit(pid, 60000);
    outcome.out = ReadText(outPath);
    outcome.err = ReadText(errPath);
    return outcome;
}

// zrqctl on a pseudo-terminal of its own (a job that pauses needs one):
// its pid, -1 when none is to be had; *console is the operator's side.
pid_t ZrqctlOnTerminal(const ScratchRoot& root, const std::vector<std::string>& args, int* console)
{
    pid_t pid = forkpty(console, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ExecZrqctl(root, args);
    }
    return pid;
}

// The subpaths of the d attribute of the first path element after marker,
// as points (x, -y as written: both files draw with Y negated).
std::vector<std::vector<std::pair<double, double>>> Subpaths(
    const std::string& svg, const std::string& marker, double scale)
{
    std::vector<std::vector<std::pair<double, double>>> paths;
    size_t at = svg.find(marker);
    if (at == std::string::npos)
        return paths;
    at = svg.find(" d=\"", at);
    if (at == std::string::npos)
        return paths;
    std::istringstream d(svg.substr(at + 4, svg.find('"', at + 4) - at - 4));
    std::string word;
    while (d >> word) {
        char command = word[0];
        double x = atof(word.c_str() + 1), y = 0;
        d >> y;
        if (command == 'M' || paths.empty())
            paths.emplace_back();
        paths.back().emplace_back(x * scale, y * scale);
    }
    return paths;
}

// Log events without their times, leaving out the queries ('S', 'n'),
// which read and change nothing.
std::vector<std::string> Commands(const std::string& log)
{
    std::vector<std::string> commands;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::string event = line.substr(line.find(' ') + 1);
        if (event.compare(0, 2, "S ") != 0 && event.compare(0, 1, "n") != 0)
            commands.push_back(event);
    }
    return commands;
}

const char kHouse[] = R"svg(<?xml version="1.0"?>
<svg xmlns="http://www.w3.org/2000/svg" width="50mm" height="50mm" viewBox="0 0 100 100">
  <path d="M10 90 V40 L50 10 L90 40 V90 Z"/>
  <rect x="40" y="60" width="20" height="30" rx="3"/>
  <g transform="translate(70 55) rotate(30)"><ellipse rx="8" ry="5"/></g>
  <path d="M15 35 C15 20, 30 20, 30 35 Q40 45 50 35 A5 5 0 0 0 60 35"/>
</svg>
)svg";

TEST(JobRun, WhatTheBoxDrewMatchesThePreviewWithinAStep)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("house.svg", kHouse);
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1, {"--svg", root.path() + "/drawn.svg"}));
    Outcome run = RunZrqctl(root,
        {"init", "--com", "1", "job", root.path() + "/house.svg", "--feed", "200", "--preview",
            root.path() + "/plan.svg"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(
        run.out.find("final position off the plan by X=0.0000 in Y=0.0000 in"), std::string::npos)
        << run.out;
    box.Stop();
    auto drawn = Subpaths(ReadText(root.path() + "/drawn.svg"), "<path", 1.0);
    auto planned = Subpaths(ReadText(root.path() + "/plan.svg"), "id=\"drawn\"", kStepsPerInch);
    ASSERT_EQ(drawn.size(), planned.size());
    ASSERT_EQ(drawn.size(), 4u);  // the house, the door, the window, the curves
    size_t points = 0;
    for (size_t i = 0; i < drawn.size(); ++i) {
        ASSERT_EQ(drawn[i].size(), planned[i].size()) << "subpath " << i;
        for (size_t k = 0; k < drawn[i].size(); ++k) {
            EXPECT_NEAR(drawn[i][k].first, planned[i][k].first, 1.0) << i << ":" << k;
            EXPECT_NEAR(drawn[i][k].second, planned[i][k].second, 1.0) << i << ":" << k;
        }
        points += drawn[i].size();
    }
    EXPECT_GT(points, 50u);
}

// The box's log of a plain init and of init followed by a refused job: the
// job adds no command.
TEST(JobRun, ARefusedJobSendsNothing)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("far.gcode", "G21 G90\nG0 X10 Y10\nG1 X7000 F600\n");  // 275 in: beyond 32 bits
    root.Write("bad.gcode", "G21 G90\nG0 X10 Y10\nM3\nG1 X20 F600\nG1 X20 Y20 Q5\n");
    auto logOf = [&](const std::vector<std::string>& args, Outcome* outcome) {
        BoxSimProcess box;
        std::string log = root.path() + "/box.log";
        unlink(log.c_str());
        EXPECT_TRUE(box.StartOn(root, 1, {"--log", log}));
        *outcome = RunZrqctl(root, args);
        box.Stop();
        return ReadText(log);
    };
    Outcome init, far, bad;
    std::string initLog = logOf({"init", "--com", "1"}, &init);
    ASSERT_EQ(init.status, 0) << init.err;
    std::string farLog = logOf({"init", "--com", "1", "job", root.path() + "/far.gcode"}, &far);
    EXPECT_EQ(far.status, 65) << far.out << far.err;
    EXPECT_NE(far.err.find("far.gcode:3:1: X 275.5906 in is beyond the box's 32-bit counts"),
        std::string::npos)
        << far.err;
    EXPECT_NE(far.err.find("refused; nothing was sent"), std::string::npos) << far.err;
    EXPECT_FALSE(Commands(initLog).empty());
    EXPECT_EQ(Commands(farLog), Commands(initLog));
    // A syntax error on the last line stops the run before the port opens.
    std::string badLog = logOf({"init", "--com", "1", "job", root.path() + "/bad.gcode"}, &bad);
    EXPECT_EQ(bad.status, 65) << bad.out << bad.err;
    EXPECT_NE(bad.err.find("bad.gcode:5:12: unsupported word 'Q5'"), std::string::npos) << bad.err;
    EXPECT_EQ(badLog, "");
}

// Steps that are not the box's (twice its own): the box goes half as far
// as planned, and the read-back says so.
TEST(JobRun, AnEndOffThePlanByMoreThanAStepFails)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("short.gcode", "G20\nG0 X0 Y0\nM3\nG1 X0.1 Y0.05 F400\nM5\n");
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1));
    Outcome run = RunZrqctl(root,
        {"init", "--com", "1", "job", root.path() + "/short.gcode", "--steps", "25000,25000"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("off the plan by X=-0.0500 in Y=-0.0250 in"), std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("more than a step away from the plan"), std::string::npos) << run.err;
}

// Ctrl-C in the middle of a job: the stream ends and the box gets the
// emergency stop.
TEST(JobRun, InterruptSendsTheEmergencyStop)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("slow.gcode", "G20\nG0 X0 Y0\nM3\nG1 X2 F10\nG1 Y2\nM5\n");  // 24 s of drawing
    std::string log = root.path() + "/box.log";
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1, {"--log", log}));
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        std::string rootOption = "--root=" + root.path(), file = root.path() + "/slow.gcode";
        execl(ZRQ_ZRQCTL, ZRQ_ZRQCTL, rootOption.c_str(), "init", "--com", "1", "job", file.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the box has the first drawn move (2 in along X: 16,384,000 counts).
    double until = MonotonicSeconds() + 20;
    while (ReadText(log).find(" x 16384000") == std::string::npos && MonotonicSeconds() < until)
        usleep(50000);
    EXPECT_NE(ReadText(log).find(" x 16384000"), std::string::npos) << "the job never began";
    kill(pid, SIGINT);
    EXPECT_EQ(WaitExit(pid, 20000), 130);
    box.Stop();
    std::string events = ReadText(log);
    EXPECT_NE(events.find("emergency stop"), std::string::npos) << events;
}

const char kLayers[] = R"svg(<?xml version="1.0"?>
<svg xmlns="http://www.w3.org/2000/svg" xmlns:inkscape="http://www.inkscape.org/namespaces/inkscape"
    width="2in" height="2in" viewBox="0 0 2 2">
  <g inkscape:groupmode="layer" inkscape:label="first"><path d="M0 2 H1"/></g>
  <g inkscape:groupmode="layer" inkscape:label="second"><path d="M0 1 H2"/></g>
  <g inkscape:groupmode="layer" inkscape:label="notes" style="display:none"><path d="M0 0 H2"/></g>
</svg>
)svg";

// Layers on the box: chosen ones in the order given; a hidden one refused;
// the list of them.
TEST(JobRun, LayersAreDrawnInTheOrderGiven)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("layers.svg", kLayers);
    std::string file = root.path() + "/layers.svg", svg = root.path() + "/drawn.svg";
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1, {"--svg", svg}));
    Outcome run = RunZrqctl(root,
        {"init", "--com", "1", "job", file, "--feed", "200", "--layer", "second", "--layer",
            "first"});
    box.Stop();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::pair<double, double>> starts;
    for (const auto& path : Subpaths(ReadText(svg), "<path", 1.0))
        starts.push_back(path.front());
    const std::pair<double, double> first(0, -0.0), second(0, -1 * kStepsPerInch);
    EXPECT_EQ(starts, (std::vector<std::pair<double, double>> {second, first}));

    Outcome hidden = RunZrqctl(root, {"job", file, "--dry-run", "--layer", "notes"});
    EXPECT_EQ(hidden.status, 65);
    EXPECT_NE(hidden.err.find("layer 'notes' is hidden"), std::string::npos) << hidden.err;
    Outcome list = RunZrqctl(root, {"job", file, "--layers"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("'notes'                  hidden  drawn 2.0000 in"), std::string::npos)
        << list.out;
}

// --pause-between-layers on a terminal: the first layer drawn, the pen up
// and the box stopped at the pause, the second layer after Enter.
TEST(JobRun, APauseComesBetweenLayers)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("layers.svg", kLayers);
    std::string log = root.path() + "/box.log";
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1, {"--log", log}));
    int console = -1;
    pid_t pid = ZrqctlOnTerminal(root,
        {"init", "--com", "1", "job", root.path() + "/layers.svg", "--feed", "200",
            "--pause-between-layers"},
        &console);
    if (pid < 0)
        GTEST_SKIP() << "no pseudo-terminal to be had";
    std::string said;
    ReadUntil(console, "Enter goes on", 20000, &said);
    EXPECT_NE(said.find("layer 'second' next: change the pen"), std::string::npos) << said;
    // The first layer's 1 in (8,192,000 counts) drawn, the second's 2 in not yet.
    std::string before = ReadText(log);
    EXPECT_NE(before.find(" x 8192000"), std::string::npos) << before;
    EXPECT_EQ(before.find(" x 16384000"), std::string::npos) << before;
    ASSERT_EQ(write(console, "\n", 1), 1);
    ReadUntil(console, "final position", 20000, &said);
    EXPECT_EQ(WaitExit(pid, 20000), 0) << said;
    close(console);
    EXPECT_NE(ReadText(log).find(" x 16384000"), std::string::npos);
}

// The command line of a job, without a box: placement, options and files.
TEST(JobRun, DryRunPlacesTheDrawingAndRefusesBadOptionsAndFiles)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("wide.gcode", "G20\nG0 X0 Y0\nM3\nG1 X4 Y1 F10\nM5\n");
    root.Write("odd.gcode", "G0 X1 M42\n");
    root.Write("notes.txt", "G0 X1\n");
    // A 24-unit icon's circle, and lines that leave their 1 in page.
    root.Write("icon.svg",
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\" "
        "viewBox=\"0 0 24 24\"><circle cx=\"12\" cy=\"12\" r=\"12\"/></svg>");
    root.Write("off.svg",
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1in\" height=\"1in\" "
        "viewBox=\"0 0 1 1\"><line x1=\"0\" y1=\"0.5\" x2=\"1.5\" y2=\"0.5\"/><line "
        "x1=\"0\" y1=\"0\" x2=\"1\" y2=\"0\"/><line x1=\"0\" y1=\"1\" x2=\"1\" "
        "y2=\"1\"/></svg>");
    std::string icon = root.path() + "/icon.svg", off = root.path() + "/off.svg";
    root.Write("plot.hpgl", "IN;PU0,0;\n");
    root.Write("noname", "; a plotter file\nG0 X25.4\n");
    root.Write("stops.nc", "G20\nM6 T1\nG0 X1\n");
    std::string wide = root.path() + "/wide.gcode";
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;  // on standard output for 0, else on standard error
    } rows[] = {
        {{"job", wide, "--dry-run"}, 0, "bounds X 0.0000 .. 4.0000  Y 0.0000 .. 1.0000 in"},
        {{"job", wide, "--dry-run", "--fit", "2inx2in"}, 0,
            "bounds X 0.0000 .. 2.0000  Y 0.0000 .. 0.5000 in"},
        {{"job", "--scale", "2", wide, "--origin", "1in,1in", "--dry-run"}, 0,
            "bounds X 1.0000 .. 9.0000  Y 1.0000 .. 3.0000 in"},
        {{"--units", "mm", "job", wide, "--dry-run"}, 0, "length drawn 104.727 mm"},
        // The tolerance holds after --fit: a 3 in radius takes 122 chords
        // (2 acos(1 - 0.001/3) a chord), not the 25 of the 1/8 in icon.
        {{"job", icon, "--dry-run"}, 0, "segments 26 (25 drawn, 1 travel)"},
        {{"job", icon, "--dry-run", "--fit", "6inx6in"}, 0, "segments 123 (122 drawn, 1 travel)"},
        {{"job", off, "--dry-run"}, 0,
            "job: warning: the drawing leaves its page (1.0000 in x 1.0000 in) by up to 0.5000 in"},
        {{"job", off, "--dry-run", "--optimize"}, 0,
            "optimize: pen-up travel in the file's order 3.4954 in, optimised 1.2071 in (3 "
            "strokes, "
            "0 joined)"},
        {{"job", root.path() + "/odd.gcode", "--dry-run", "--ignore-unknown"}, 0,
            "odd.gcode:1:7: M42"},
        {{"job", root.path() + "/notes.txt", "--dry-run"}, 0, "units mm (assumed"},
        {{"job", root.path() + "/noname", "--dry-run"}, 0, "bounds X 1.0000 .. 1.0000"},
        {{"job", root.path() + "/noname", "--dry-run", "--units", "in"}, 0,
            "bounds X 25.4000 .. 25.4000"},
        {{"job", root.path() + "/plot.hpgl", "--dry-run"}, 65, "unknown kind of file"},
        {{"job", root.path() + "/noname", "--dry-run", "--format", "svg"}, 65,
            "noname:1:1: not well-formed"},
        {{"job", root.path() + "/stops.nc", "--dry-run"}, 0,
            "pauses: 1 (the run waits for Enter at each)"},
        {{"job", root.path() + "/stops.nc", "--dry-run", "--no-pause"}, 0,
            "pauses: 1 run through (--no-pause)"},
        // Standard input here is /dev/null: nobody could go on from the pause.
        {{"init", "--com", "1", "job", root.path() + "/stops.nc"}, 65,
            "1 pause(s), the first at line 2, and standard input is no terminal"},
        {{"job", wide, "--dry-run", "--steps", "12500,12500"}, 0,
            "wire 7 frames (0 compact), 27 bytes to the box"},
        {{"job", wide, "--tool", "crayon"}, 64, "job: --tool 'crayon': must be pen, laser or mill"},
        {{"job", wide, "--fit", "2in"}, 64, "--fit '2in': needs two distances joined by 'x'"},
        {{"job", wide, "--fit", "8x6"}, 64, "--fit '8x6': '8' is 8 tenths of a mil; give a unit"},
        {{"job", wide, "--dry-run", "--fit", "80000x60000"}, 0,
            "bounds X 0.0000 .. 8.0000  Y 0.0000 .. 2.0000 in"},
        {{"job", root.path() + "/none.gcode"}, 65, "none.gcode: cannot read"},
        {{"job", wide}, 10, "job: Not initialized (run init first)"},
    };
    for (const auto& row : rows) {
        Outcome run = RunZrqctl(root, row.args);
        std::string said = row.status == 0 ? run.out : run.err;
        EXPECT_EQ(run.status, row.status) << row.args[1] << "\n" << run.out << run.err;
        EXPECT_NE(said.find(row.says), std::string::npos) << row.args[1] << "\n" << said;
    }
}

// The lines of the box's log that command moves, speeds, the laser
// (parameter 52) or the emergency stop.
std::vector<std::string> Orders(const std::string& log)
{
    std::vector<std::string> orders;
    for (const std::string& event : Commands(log))
        if (event.compare(0, 5, "p 52 ") == 0 || event.compare(0, 2, "a ") == 0
            || event.compare(0, 2, "x ") == 0 || event.compare(0, 2, "s ") == 0
            || event.find("emergency") != std::string::npos)
            orders.push_back(event);
    return orders;
}

// M0 in a laser job on a terminal: the stream stops after the move before
// it, the laser goes off and stays off while the job waits, and Enter sends
// the rest, which ends where the plan says.
TEST(JobRun, APauseStopsTheBoxWithTheLaserOffUntilEnter)
{
    ScratchRoot root("job");
    ASSERT_TRUE(root.ok());
    root.Write("stop.gcode", "G20\nM3 S100\nG1 X0.1 F60\nM0 (look at the cut)\nG1 X0.2\nM5\n");
    std::string log = root.path() + "/box.log";
    BoxSimProcess box;
    ASSERT_TRUE(box.StartOn(root, 1, {"--log", log}));
    int console = -1;
    pid_t pid = ZrqctlOnTerminal(root,
        {"init", "--com", "1", "job", root.path() + "/stop.gcode", "--tool", "laser"}, &console);
    if (pid < 0)
        GTEST_SKIP() << "no pseudo-terminal to be had";
    std::string said;
    ReadUntil(console, "Enter goes on", 20000, &said);
    ASSERT_NE(said.find("paused at line 4: M0 program stop: look at the cut"), std::string::npos)
        << said;
    // The first cut (0.1 in: 819,200 counts), the laser off, nothing after.
    // init's laser parameter, the plan's laser off, then the job.
    const std::vector<std::string> before
        = {"p 52 1", "p 52 0", "p 52 1", "s 8000 (8000 steps/s)", "a 819200 0", "p 52 0"};
    EXPECT_EQ(Orders(ReadText(log)), before);
    // The job waited for the box to stop: its last question found it halted.
    std::string text = ReadText(log);
    size_t lastLine = text.rfind('\n', text.size() - 2);
    EXPECT_NE(text.find(" n -> 2", lastLine), std::string::npos) << text;
    usleep(300000);
    EXPECT_EQ(Orders(ReadText(log)), before);
    ASSERT_EQ(write(console, "\n", 1), 1);
    ReadUntil(console, "final position", 20000, &said);
    EXPECT_EQ(WaitExit(pid, 20000), 0) << said;
    close(console);
    EXPECT_NE(
        said.find("final position off the plan by X=0.0000 in Y=0.0000 in"), std::string::npos)
        << said;
    std::vector<std::string> after = before;
    after.insert(after.end(), {"p 52 1", "x 819200", "p 52 0"});
    EXPECT_EQ(Orders(ReadText(log)), after);
}

}  // namespace

#endif
