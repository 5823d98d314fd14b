// Travel optimisation at scale: a drawing of short strokes scattered in file
// order (hatching cut into dashes, 200,000 segments by default), read as
// SVG, reordered with OptimizeTravel and planned. Prints the seconds each
// step takes and the pen-up travel before and after.
//
// usage: zrq-bench-optimize [--segments N] [--per-stroke K]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "tools/job/job.h"

namespace {

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Strokes of K segments on a 10 x 10 in page, at places drawn from a fixed
// sequence so that every run plans the same drawing.
std::string Drawing(long segments, int perStroke)
{
    std::string text = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10in\" height=\"10in\" "
                       "viewBox=\"0 0 1000 1000\">\n";
    unsigned long seed = 12345;
    auto next = [&] {
        seed = seed * 6364136223846793005UL + 1442695040888963407UL;
        return static_cast<double>((seed >> 33) % 1000000) / 1000000.0;
    };
    char number[64];
    for (long done = 0; done < segments; done += perStroke) {
        double x = next() * 990, y = next() * 990;
        snprintf(number, sizeof number, "<path d=\"M%.2f %.2f", x, y);
        text += number;
        for (int k = 0; k < perStroke; ++k) {
            snprintf(number, sizeof number, " l%.2f %.2f", 1.0, (k % 2 ? 0.5 : -0.5));
            text += number;
        }
        text += "\"/>\n";
    }
    return text + "</svg>\n";
}

}  // namespace

int main(int argc, char** argv)
{
    long segments = 200000;
    int perStroke = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--segments") == 0)
            segments = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--per-stroke") == 0)
            perStroke = atoi(argv[i + 1]);
    }
    if (segments < 1 || perStroke < 1) {
        fprintf(stderr, "usage: zrq-bench-optimize [--segments N] [--per-stroke K]\n");
        return 2;
    }
    std::string text = Drawing(segments, perStroke);
    job::Program program;
    std::string error;
    double t0 = Now();
    if (!job::ParseSvg(text, "bench.svg", job::ParseOptions(), &program, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    double t1 = Now();
    job::OptimizeReport report;
    if (!job::OptimizeTravel(&program, job::Point(), &report)) {
        fprintf(stderr, "not pen strokes alone\n");
        return 1;
    }
    double t2 = Now();
    job::Plan plan;
    job::MakePlan(program, job::PlanOptions(), &plan);
    double t3 = Now();
    printf("drawing: %ld segments in %ld strokes, %.1f MB of SVG\n", segments, report.strokes,
        static_cast<double>(text.size()) / 1e6);
    printf("read     %.3f s\n", t1 - t0);
    printf("optimize %.3f s\n", t2 - t1);
    printf("plan     %.3f s (%ld segments to the box)\n", t3 - t2, plan.segments);
    printf("pen-up travel: %.1f in in file order, %.1f in after (%.1f %%), %ld joined\n",
        report.travelBefore, report.travelAfter,
        report.travelBefore > 0 ? 100.0 * report.travelAfter / report.travelBefore : 0,
        report.joined);
    return 0;
}
