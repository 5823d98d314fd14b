// zrqctl's job command: what PrepareJob makes of the command line and the
// file when the line is read, so that a broken file stops the run before the
// port is opened.
#ifndef ZRQ_TOOLS_ZRQCTL_JOB_H
#define ZRQ_TOOLS_ZRQCTL_JOB_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/job/job.h"

struct Command;

struct JobRequest {
    std::string path;
    bool dryRun = false;
    std::string previewPath;
    job::Tool tool = job::Tool::Pen;
    bool toolGiven = false;
    bool noPause = false;
    double feedIpm = 20, rapidIpm = 100;
    bool fit = false;
    int32_t fitWidth = 0, fitHeight = 0;  // tenths of a mil
    double scale = 1;
    bool origin = false;
    int32_t originX = 0, originY = 0;  // tenths of a mil
    int32_t steps[3] = {0, 0, 0};      // X, Y, Z in 10^-8 inch; 0 = ask the box
    job::Program program;
    // SVG: layers and travel.
    std::vector<std::string> layers;  // --layer, in the order given
    bool listLayers = false, pauseBetweenLayers = false, optimize = false;
    job::OptimizeReport optimized;
    std::vector<std::string> warnings;  // printed before the plan
};

// The job command's options into the request and the reader's options;
// false with why.
bool ReadOptions(const Command& c, JobRequest* request, job::ParseOptions* parse, std::string* why);

#endif
