// The wire trace: off unless the variable names a file; then a line per
// frame, per run of single bytes and per reply, stamped in microseconds.
#include <gtest/gtest.h>

#include <stdlib.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include/zrqapi.h"
#include "platform/fake.h"
#include "protocol/protocol.h"
#include "serial/wiretrace.h"
#include "support/line_double.h"
#include "support/reset.h"
#include "support/temp_root.h"

namespace {

struct TraceLine {
    unsigned long long micros;
    std::string event;
};

std::vector<TraceLine> ReadTrace(const std::string& path)
{
    std::ifstream file(path);
    std::vector<TraceLine> lines;
    for (std::string text; std::getline(file, text);) {
        size_t blank = text.find(' ');
        lines.push_back({strtoull(text.c_str(), nullptr, 10), text.substr(blank + 1)});
    }
    return lines;
}

void SetVariable(const std::string& value)
{
#ifdef _WIN32
    _putenv_s(kWireTraceVariable, value.c_str());
#else
    setenv(kWireTraceVariable, value.c_str(), 1);
#endif
}

class WireTraceTest : public ::testing::Test {
protected:
    TempRoot root;
    LineDouble line;
    std::string path = root.File("wire.log");

    void Start(const std::string& variable)
    {
        SetVariable(variable);
        ResetLibraryState();
        AttachLineDouble(&line);
    }
    void TearDown() override
    {
        NirekRemove();
        SetVariable("");
        WireTraceReset();
    }
};

TEST_F(WireTraceTest, EachFrameRunOfSingleBytesAndReplyIsOneStampedLine)
{
    Start(path);
    ASSERT_EQ(NirekInstall(3), 0);
    EXPECT_EQ(NirekParam(34, 257), 0);
    EXPECT_EQ(NirekSync(0), 0);
    NirekRemove();
    std::vector<TraceLine> lines = ReadTrace(path);
    const char* expected[] = {
        "open COM3",
        "> 'p' 70 00 22 00 00 01 01",
        "< 02",
        "> 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f 7f",
        "> 'i' 69 a0",
        "< a1",
        "close COM3",
    };
    ASSERT_EQ(lines.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].event, expected[i]) << i;
        if (i > 0) {
            EXPECT_GE(lines[i].micros, lines[i - 1].micros) << i;
        }
    }
    // The double answers 100 us after the frame, in virtual time.
    EXPECT_GE(lines[2].micros - lines[1].micros, 100u);
}

TEST_F(WireTraceTest, OffWithoutTheVariableAndReadOnlyOnce)
{
    Start("");
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(NirekParam(1, 2), 0);
    // Set after the first port opened: the trace stays off.
    SetVariable(path);
    NirekRemove();
    ASSERT_EQ(NirekInstall(1), 0);
    EXPECT_EQ(NirekParam(1, 2), 0);
    NirekRemove();
    EXPECT_FALSE(std::ifstream(path).good());
}

}  // namespace

// Single bytes are in the file the moment they are written: a process that
// ends right after them (by _exit, or a crash) leaves them in the trace. Here
// the stop on a dead link is followed by nothing at all.
TEST_F(WireTraceTest, SingleBytesAreInTheFileAsSoonAsTheyAreWritten)
{
    Start(path);
    ASSERT_EQ(NirekInstall(3), 0);
    g_link.dead = true;
    EXPECT_EQ(NirekEstop(), 1);
    std::vector<TraceLine> lines = ReadTrace(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].event, "open COM3");
    EXPECT_EQ(lines[1].event, "> 60 60 60 60 60 60 60 60 60 60 60 60 60 60 60 60");
}

#ifndef _WIN32
// A name that is no regular file is refused once, on standard error, and
// never blocks the open or any write to the box.
TEST_F(WireTraceTest, OnlyARegularFileIsTracedInto)
{
    std::string fifo = root.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string folder = root.File("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    // The reason is the system's text for the error, which the fake backend
    // gives as a number, or "not a regular file".
    const struct {
        std::string name;
        const char* reason;
    } cases[] = {
        {fifo, "error 6"},     // ENXIO: no reader, so the open fails at once
        {folder, "error 21"},  // EISDIR
        {"/dev/null", "not a regular file"},
        {root.File("missing/wire.log"), "The system cannot find the file specified."},
    };
    for (const auto& c : cases) {
        Start(c.name);
        testing::internal::CaptureStderr();
        ASSERT_EQ(NirekInstall(1), 0) << c.name;
        EXPECT_EQ(NirekParam(1, 1), 0) << c.name;
        EXPECT_EQ(NirekParam(2, 2), 0) << c.name;
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said,
            std::string("zrqapi: ZRQAPI_TRACE_WIRE=") + c.name + ": " + c.reason
                + "; no wire trace is written\n");
        NirekRemove();
    }
}
#endif
