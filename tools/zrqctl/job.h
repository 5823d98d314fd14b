// zrqctl's job command: a G-code or SVG file planned, previewed and streamed
// to the box. The file is read and parsed when the command line is, so a
// broken file stops the run before the port is opened.
#ifndef ZRQ_TOOLS_ZRQCTL_JOB_H
#define ZRQ_TOOLS_ZRQCTL_JOB_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/job/job.h"

struct JobRequest {
    std::string path;
    bool dryRun = false;
    std::string previewPath;
    job::Tool tool = job::Tool::Pen;
    double feedIpm = 20, rapidIpm = 100;
    bool fit = false;
    int32_t fitWidth = 0, fitHeight = 0;  // tenths of a mil
    double scale = 1;
    bool origin = false;
    int32_t originX = 0, originY = 0;  // tenths of a mil
    int32_t steps[3] = {0, 0, 0};      // X, Y, Z in 10^-8 inch; 0 = ask the box
    job::Program program;
};

// What the job command takes from the rest of zrqctl.
struct JobEnv {
    bool (*parseDistance)(const std::string& text, int32_t* tenthMils, std::string* why);
    const char* unit;   // "in", "mm" or "tmil"
    bool progressLine;  // standard output is a terminal
};

// Parses "FILE [options]" from tokens[*at] on, stopping at the first token
// that is neither an option nor its value; reads and parses the file.
// Returns false with *error set and *status the exit code.
bool ParseJobCommand(const std::vector<std::string>& tokens, size_t* at, const JobEnv& env,
    std::shared_ptr<JobRequest>* out, std::string* error, int* status);

int RunJobCommand(const JobRequest& request, const JobEnv& env, const std::string& where);

const char* JobCommandHelp();

#endif
